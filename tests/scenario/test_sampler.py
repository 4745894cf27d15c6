"""The sampler of the simulated machine (nvxsim sample): what it reads out of the running service is
the service's own state, and what it says of a process agrees with the machine's other sources."""

import json
import re
import time
import unittest

from simtest import SERVICE_KEY, MachineTestCase

CHUNK_LINE = re.compile(r"^\d+ \d+ buffers created$")  # the pool's line for each chunk it adds
TOTAL_CHUNKS = re.compile(r"^A total of (\d+) chunks of memory were used$")
MISSED = re.compile(r"^There were (\d+) missed debug log messages$")


class SamplerTest(MachineTestCase):
    def sample(self, *args):
        return json.loads(self.machine.checked("sample", *args, "--json").out)

    def test_the_pool_and_log_counters_are_the_running_service_s_own(self):
        # Every chunk the pool adds is logged at Debug; the shutdown logs the total and the missed lines.
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        self.machine.checked("start")
        self.machine.checked("driver", "start")
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "60000")
        self.machine.checked("send-command", "--kind", "get", "Version")
        sample = self.sample()
        # The lines of the chunks made so far reach the file after the sample was taken.
        chunk_lines = lambda lines: sum(1 for e in lines if e.facility == "Mem" and CHUNK_LINE.match(e.text))
        self.wait_for_log(lambda lines: chunk_lines(lines) >= sample["pool_chunks"], what="the chunks' lines")
        self.assertEqual(chunk_lines(self.run_log()), sample["pool_chunks"])
        self.assertGreater(sample["pool_blocks"], 0)
        self.assertEqual((sample["pool_no_free_buffer"], sample["pool_bad_magic"]), (0, 0))

        self.machine.checked("driver", "stop")
        self.machine.checked("stop")
        run = self.ended_run_log()
        totals = [int(m.group(1)) for e in run if (m := TOTAL_CHUNKS.match(e.text))]
        missed = [int(m.group(1)) for e in run if (m := MISSED.match(e.text))]
        self.assertEqual(len(totals), 1)
        self.assertGreaterEqual(totals[0], sample["pool_chunks"])  # chunks are never given back
        self.assertEqual(chunk_lines(run), totals[0])
        self.assertGreaterEqual(missed[0], sample["missed_messages"])

    def test_a_process_is_described_by_the_sources_that_know_it(self):
        self.machine.checked("start")
        deadline = time.monotonic() + 30
        while True:
            sample = self.sample()
            # The service's threads: its main thread, the service thread and its workers.
            if sample["threads"] >= 4 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(sample["threads"], sample["spi_threads"])
        self.assertGreaterEqual(sample["threads"], 4)
        # Handles one by one from the system's list, never more than the process's table holds.
        self.assertEqual(sample["handles"], sample["listed_handles"])
        self.assertTrue(0 < sample["handles"] <= sample["spi_handles"], sample)
        self.assertGreater(sample["private_bytes"], 0)
        self.assertGreater(sample["working_set"], sample["private_bytes"] // 2)
        self.machine.checked("stop")

        # Another process, by name: the machine's keep-alive holder, one thread waiting on an event.
        holder = self.sample("nvxsimctl.exe")
        self.assertEqual(holder["threads"], 1)
        self.assertIsNone(holder["pool_blocks"])
        self.assertLess(holder["private_bytes"], sample["private_bytes"])
        self.assertNotEqual(self.machine.nvxsim("sample", "no-such-program.exe").rc, 0)


if __name__ == "__main__":
    unittest.main()
