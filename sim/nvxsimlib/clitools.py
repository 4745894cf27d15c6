"""What every part of nvxsim's command line shares: the usage error and JSON output."""

import json

from .machine import say


class Usage(Exception):
    """A command line nvxsim cannot take; main prints it with a pointer to the help."""


def out_json(value):
    say(json.dumps(value, ensure_ascii=False))
