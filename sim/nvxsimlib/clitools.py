"""What every part of nvxsim's command line shares: its exit statuses, the usage error and JSON
output."""

import json

from .texts import say

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class Usage(Exception):
    """A command line nvxsim cannot take; main prints it with a pointer to the help."""


def out_json(value):
    say(json.dumps(value, ensure_ascii=False))
