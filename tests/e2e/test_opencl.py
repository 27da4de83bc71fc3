"""The OpenCL build of the miner on this machine's OpenCL device (POCL's
CPU device where there is no GPU): the GPU benchmark, and GPU mining
against the development node, which checks every block on its own with
hashlib. Registered only for the OpenCL build; POCL_CACHE_DIR is set by
CMake so that POCL has a writable kernel cache."""

import re
import unittest

from harness import (ACCEPTED_RE, SLOWDOWN, STATUS_RE, MinerTestCase, accepted_blocks, mining_args)
from test_cli import BANNER, run_miner

DEVICE_LINE = re.compile(r"^tamrix-miner: OpenCL device 0: .+ \(.+\)$")
BUILD_LINE = re.compile(r"^tamrix-miner: building the kernel for OpenCL device 0: .+ \(a stop waits for it\)$")
GPU_RATE = re.compile(r"^GPU: (\d+\.\d\d) (H|kH|MH|GH)/s$")
SOLUTION_RE = re.compile(r"^\*\*\* GPU SOLUTION! Nonce: (\d+) \*\*\*$")
# Small batches keep each launch short on a CPU device; with 16 zero bits a
# block turns up about every 65536 nonces.
GPU_ARGS = ("-d", 0, "--batch-size", 65536)
EASY = ("--zero-bits", 16)
UNREACHABLE = ("--target", "0" * 63 + "1")


class OpenClBenchmark(unittest.TestCase):
    def test_gpu_only_benchmark_names_the_device_and_reports_a_rate(self):
        rc, out, err = run_miner(self, ["--benchmark", "--gpu-only", "-d", "0",
                                        "--bench-duration", "1"], timeout=120 * SLOWDOWN)
        self.assertEqual((rc, err), (0, ""))
        # The device is named when it is opened, before the benchmark, after
        # a line about the build where the build took over a second (a cold
        # kernel cache).
        lines = [line for line in out.splitlines() if not BUILD_LINE.match(line)]
        self.assertEqual(lines[0], BANNER.strip(), out)
        self.assertRegex(lines[1], DEVICE_LINE)
        self.assertEqual(lines[2:4], ["", "--- GPU Benchmark (1 seconds) ---"], out)
        rate = GPU_RATE.fullmatch(lines[4])
        self.assertIsNotNone(rate, out)
        self.assertGreater(float(rate.group(1)), 0.0)
        self.assertEqual(len(lines), 5, out)

    def test_missing_device_is_one_line_and_a_zero_rate(self):
        rc, out, err = run_miner(self, ["--benchmark", "--gpu-only", "-d", "7",
                                        "--bench-duration", "1"])
        self.assertEqual(rc, 0)
        self.assertTrue(out.endswith("--- GPU Benchmark (1 seconds) ---\nGPU: 0.00 H/s\n"), out)
        self.assertRegex(err, r"^tamrix-miner: no OpenCL device 7 \(this machine has \d+, "
                              r"from 0 to \d+\)\n$")


class OpenClMining(MinerTestCase):
    def test_gpu_only_finds_blocks_the_node_accepts(self):
        node = self.start_node(*EASY, "--height", 5)
        miner = self.start_miner(["--gpu-only", *GPU_ARGS] + mining_args(node.url, cpu_only=False))
        miner.wait_for(ACCEPTED_RE, count=3, timeout=120 * SLOWDOWN)
        self.stop_miner(miner)

        claimed = accepted_blocks(miner)
        stats = node.stats()
        self.assertEqual(stats["invalid"], 0, "blocks failed the node's checks: %s\n%s" % (
            stats["last_reject"], node.log()))
        self.assertEqual(stats["rejected"], 0)
        self.assertEqual([b["height"] for b in stats["blocks"]], [h for h, _, _ in claimed])
        self.assertEqual({device for _, device, _ in claimed}, {"GPU"})

        # Each accepted block follows its own solution line, and those nonces
        # are the ones the node was sent (it accepted every one of them).
        out = miner.lines("stdout")
        solutions = [i for i, line in enumerate(out) if SOLUTION_RE.match(line)]
        accepted = [i for i, line in enumerate(out) if ACCEPTED_RE.match(line)]
        self.assertEqual(len(solutions), len(accepted), miner.transcript())
        for solution, block in zip(solutions, accepted):
            self.assertLess(solution, block)
        self.assertEqual(sum(1 for line in out if DEVICE_LINE.match(line)), 1)
        self.assertEqual(miner.lines("stderr"), [])

    def test_gpu_with_a_cpu_thread_is_labelled_gpu_and_cpu(self):
        node = self.start_node(*UNREACHABLE)
        miner = self.start_miner([*GPU_ARGS] + mining_args(node.url, threads=1, cpu_only=False))
        status = miner.wait_for(STATUS_RE, count=2, timeout=60 * SLOWDOWN)
        self.stop_miner(miner)
        self.assertEqual({m.group(3) for m in status}, {"GPU+CPU"})
        self.assertGreater(float(status[-1].group(1)), 0.0)
        self.assertEqual(node.stats()["accepted"], 0)
        self.assertEqual(miner.lines("stderr"), [])


if __name__ == "__main__":
    unittest.main()
