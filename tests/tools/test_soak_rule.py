"""The soak's growth rule (scripts/soak.py): a figure that keeps rising fails the soak; a one-off step,
a passing burst and growth that stops do not."""

import importlib.util
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "soak.py"
_spec = importlib.util.spec_from_file_location("soak", SCRIPT)
soak = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(soak)

MiB = 1 << 20
BASE = {"private_bytes": 22 * MiB, "working_set": 36 * MiB, "handles": 55, "threads": 9, "pool_blocks": 88,
        "pool_chunks": 7, "missed_messages": 0}


def series(count, period_s=60, **changes):
    """`count` samples `period_s` apart, each figure BASE's unless changes[field](i) gives it."""
    samples = []
    for i in range(count):
        s = dict(BASE, t_s=i * period_s)
        for field, value in changes.items():
            s[field] = value(i)
        samples.append(s)
    return samples


def growing(samples, warmup_s=60):
    return {field for field, _, _, grows in soak.growth_verdicts(samples, warmup_s) if grows}


class GrowthRuleTest(unittest.TestCase):
    def test_figures_that_keep_rising_fail_each_on_its_own(self):
        # A leak of 64 KiB a minute, one handle every other minute, one pool block per sample.
        samples = series(31, private_bytes=lambda i: 22 * MiB + i * 64 * 1024, handles=lambda i: 55 + i // 2,
                         pool_blocks=lambda i: 88 + 6 * i)
        self.assertEqual(growing(samples), {"private_bytes", "handles", "pool_blocks"})
        # A missed line now and then is already growth: the log must keep up under the load.
        self.assertEqual(growing(series(7, 20, missed_messages=lambda i: i)), {"missed_messages"})

    def test_steps_bursts_and_growth_that_stops_pass(self):
        step = series(31, private_bytes=lambda i: 22 * MiB + (8 * MiB if i >= 15 else 0),
                      pool_chunks=lambda i: 7 + (i >= 20))
        self.assertEqual(growing(step), set())
        # A compression holds several MiB while it runs: a high sample in every window.
        bursts = series(31, private_bytes=lambda i: 22 * MiB + (6 * MiB + i * MiB if i % 4 == 0 else 0),
                        handles=lambda i: 55 + (2 * i if i % 5 == 0 else 0))
        self.assertEqual(growing(bursts), set())
        # Growth that ends within the first third of the judged samples.
        levelling = series(31, working_set=lambda i: 36 * MiB + min(i, 9) * MiB)
        self.assertEqual(growing(levelling), set())
        # Rises within its tolerance (2 % of private bytes) from window to window.
        slow = series(31, private_bytes=lambda i: 22 * MiB + i * 8 * 1024)
        self.assertEqual(growing(slow), set())

    def test_the_warm_up_is_left_out_and_too_few_samples_give_no_verdict(self):
        # Start-up: the pool's first chunks and the first pass.
        warm = series(10, 20, pool_chunks=lambda i: 3 + min(i, 2) * 2, private_bytes=lambda i: (18 + min(i, 2)) * MiB)
        self.assertEqual(growing(warm, warmup_s=40), set())
        self.assertEqual(soak.growth_verdicts(series(4, 20), warmup_s=40), [])
        self.assertEqual(len(soak.growth_verdicts(series(5, 20), warmup_s=40)), len(soak.FIGURES))


if __name__ == "__main__":
    unittest.main()
