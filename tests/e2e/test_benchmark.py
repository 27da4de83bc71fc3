"""Benchmark mode of the built miner: which halves run, in which order, and
the lines they print. The CPU half runs the real search on worker threads."""

import re
import signal
import subprocess
import time
import unittest

from test_cli import BANNER, miner_path, run_miner

GPU_HALF = "\n--- GPU Benchmark (%d seconds) ---\nGPU: 0.00 H/s\n"
RATE_LINE = re.compile(r"CPU: (\d+\.\d\d) (H|kH|MH|GH)/s\n")


class BenchmarkTest(unittest.TestCase):
    def assert_cpu_rate(self, text):
        match = RATE_LINE.fullmatch(text)
        self.assertIsNotNone(match, text)
        return float(match.group(1))

    def test_cpu_half_prints_its_header_and_a_rate(self):
        rc, out, err = run_miner(self, ["--benchmark", "--cpu-only", "--cpu-threads", "2",
                                        "--bench-duration", "3"])
        self.assertEqual((rc, err), (0, ""))
        header = BANNER + "\n--- CPU Benchmark (2 threads, 3 seconds) ---\n"
        self.assertTrue(out.startswith(header), out)
        self.assertGreater(self.assert_cpu_rate(out[len(header):]), 0.0)

    def test_gpu_half_alone_with_the_cpu_only_backend(self):
        rc, out, err = run_miner(self, ["--benchmark"])
        self.assertEqual((rc, out, err), (0, BANNER + GPU_HALF % 5, ""))

    def test_gpu_half_does_not_wait_for_its_duration(self):
        # The backend without GPU support answers at once; waiting the full
        # duration would run into the subprocess timeout.
        rc, out, err = run_miner(self, ["--benchmark", "--bench-duration", "600"], timeout=120)
        self.assertEqual((rc, out, err), (0, BANNER + GPU_HALF % 600, ""))

    def test_both_halves_run_gpu_first(self):
        rc, out, err = run_miner(self, ["--benchmark", "--cpu-threads", "1",
                                        "--bench-duration=1"])
        self.assertEqual((rc, err), (0, ""))
        head = BANNER + GPU_HALF % 1 + "\n--- CPU Benchmark (1 threads, 1 seconds) ---\n"
        self.assertTrue(out.startswith(head), out)
        self.assert_cpu_rate(out[len(head):])

    def test_zero_duration_still_reports_a_rate(self):
        rc, out, err = run_miner(self, ["--benchmark", "--no-gpu", "--cpu-threads", "2",
                                        "--bench-duration", "0"])
        self.assertEqual((rc, err), (0, ""))
        head = BANNER + "\n--- CPU Benchmark (2 threads, 0 seconds) ---\n"
        self.assertTrue(out.startswith(head), out)
        self.assert_cpu_rate(out[len(head):])

    def test_no_device_prints_only_the_banner(self):
        rc, out, err = run_miner(self, ["--benchmark", "--cpu-only", "--cpu-threads=-1"])
        self.assertEqual((rc, out, err), (0, BANNER, ""))

    def test_gpu_only_skips_the_cpu_half(self):
        rc, out, err = run_miner(self, ["--benchmark", "--gpu-only", "--cpu-threads", "4",
                                        "--bench-duration", "2"])
        self.assertEqual((rc, out, err), (0, BANNER + GPU_HALF % 2, ""))

    def test_sigint_ends_the_cpu_half_early_with_what_it_measured(self):
        proc = subprocess.Popen([miner_path(), "--benchmark", "--cpu-only", "--cpu-threads", "1",
                                 "--bench-duration", "600"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(proc.kill)
        header = proc.stdout.readline() + proc.stdout.readline() + proc.stdout.readline()
        self.assertEqual(header, BANNER + "\n--- CPU Benchmark (1 threads, 600 seconds) ---\n")
        time.sleep(1)
        proc.send_signal(signal.SIGINT)
        signalled = time.monotonic()
        out, err = proc.communicate(timeout=60)
        stopped_after = time.monotonic() - signalled
        self.assertEqual((proc.returncode, err), (0, ""))
        self.assertLess(stopped_after, 1.0)
        # The handler's line, then the rate of the second or so it ran.
        self.assertTrue(out.startswith("\nShutting down...\n"), out)
        self.assertGreater(self.assert_cpu_rate(out[len("\nShutting down...\n"):]), 0.0)


if __name__ == "__main__":
    unittest.main()
