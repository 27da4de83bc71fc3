"""The OpenCL build of the miner on this machine's OpenCL device (POCL's
CPU device where there is no GPU): the GPU benchmark, and GPU mining
against the development node, which checks every block on its own with
hashlib; then a rig of two devices (POCL's CPU driver twice): listed, both
mining from one process, and one failing alone. Registered only for the OpenCL build; POCL_CACHE_DIR is set by
CMake so that POCL has a writable kernel cache."""

import os
import re
import subprocess
import time
import unittest

from harness import (ACCEPTED_RE, MINER, NONCE_SCAN, SLOWDOWN, STATUS_RE, MinerTestCase, accepted_blocks,
                     mining_args)
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
LOOP_PROBE = os.path.join(os.path.dirname(NONCE_SCAN), "loop_probe") if NONCE_SCAN else ""


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

    def test_missing_device_is_one_line_and_exit_1_before_anything_runs(self):
        for devices in ("7", "0,7"):
            with self.subTest(devices=devices):
                rc, out, err = run_miner(self, ["--benchmark", "--gpu-only", "-d", devices,
                                                "--bench-duration", "1"])
                self.assertEqual((rc, out), (1, BANNER))
                self.assertRegex(err, r"^Error: no GPU device 7; this machine has (\d+) \(0 to \d+, "
                                      r"--list-devices names them\)\n$")


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


# Two OpenCL devices on POCL's CPU driver (pocl 3.1 counts repeated names):
# a rig of two, sharing this machine's cores.
TWO_DEVICES = dict(os.environ, POCL_DEVICES="pthread pthread")
RIG_START_RE = re.compile(r"^GPU mining: device (\d) \((.+)\), batch size 65536$")
FOUND_BY_RE = re.compile(r"^  by GPU (\d) \(.+\)$")
DEVICE_STATUS_RE = re.compile(r"^  GPU (\d) \(.+\): (\d+\.\d\d) (kH|MH|GH)/s, .+ since start \| (\w[\w ]*)$")


class OpenClRig(MinerTestCase):
    def test_list_devices_names_both(self):
        proc = subprocess.run([MINER, "--list-devices"], env=TWO_DEVICES, capture_output=True, text=True,
                              timeout=120 * SLOWDOWN)
        self.assertEqual((proc.returncode, proc.stderr), (0, ""))
        lines = proc.stdout.splitlines()
        self.assertEqual(lines[0], BANNER.strip())
        self.assertEqual([line[:6] for line in lines[1:]], ["GPU 0:", "GPU 1:"], proc.stdout)
        for line in lines[1:]:
            self.assertTrue(line.endswith("(OpenCL)"), line)

    def test_a_list_and_all_mine_on_both_devices(self):
        """Both devices hash from one space and both find blocks the node
        accepts; each is named at the start, after its blocks and in the
        lines under every status line."""
        for devices in ("0,1", "all"):
            with self.subTest(devices=devices):
                # About 2^20 hashes a block: a block's first solution falls in
                # either device's batches.
                node = self.start_node("--zero-bits", 20)
                miner = self.start_miner(["--gpu-only", "-d", devices, "--batch-size", 65536]
                                         + mining_args(node.url, cpu_only=False), env=TWO_DEVICES)
                found_by = set()
                deadline = time.monotonic() + 180 * SLOWDOWN
                while found_by != {"0", "1"} and time.monotonic() < deadline:
                    count = len(miner.matches(FOUND_BY_RE)) + 1
                    found_by = {m.group(1) for m in miner.wait_for(FOUND_BY_RE, count=count,
                                                                   timeout=180 * SLOWDOWN)}
                miner.wait_for(DEVICE_STATUS_RE, count=2, timeout=30 * SLOWDOWN)
                self.stop_miner(miner)

                self.assertEqual(found_by, {"0", "1"}, miner.transcript())
                starts = miner.matches(RIG_START_RE)
                self.assertEqual([m.group(1) for m in starts], ["0", "1"], miner.transcript())
                stats = node.stats()
                self.assertEqual((stats["invalid"], stats["rejected"]), (0, 0), node.log())
                self.assertEqual([b["height"] for b in stats["blocks"]], [h for h, _, _ in accepted_blocks(miner)])
                rates = {}
                for m in miner.matches(DEVICE_STATUS_RE):
                    rates.setdefault(m.group(1), []).append(float(m.group(2)))
                self.assertEqual(sorted(rates), ["0", "1"])
                self.assertTrue(all(max(r) > 0 for r in rates.values()), rates)
                self.assertEqual(miner.lines("stderr"), [])
                node.kill()

    def test_a_failing_device_leaves_the_other_at_its_rate(self):
        """loop_probe runs the real loop and backend on both devices, one of
        them made to fail every batch through its ports: the other mines at
        the rate it has when both work."""
        if not LOOP_PROBE or not os.access(LOOP_PROBE, os.X_OK):
            self.skipTest("no loop_probe beside TAMRIX_NONCE_SCAN")
        node = self.start_node(*UNREACHABLE)
        rates = {}
        for failing in ("-1", "1"):
            done = subprocess.run([LOOP_PROBE, node.url, "--fail-device", failing, "8", "0", "1"],
                                  env=TWO_DEVICES, capture_output=True, text=True, timeout=120 * SLOWDOWN)
            self.assertEqual(done.returncode, 0, done.stderr)
            lines = dict((m.group(1), (float(m.group(2)), int(m.group(3))))
                         for m in re.finditer(r"^device (\d) rate (\S+) failures (\d+)$", done.stderr, re.M))
            rates[failing] = lines
        healthy, one_failing = rates["-1"], rates["1"]
        self.assertEqual((healthy["0"][1], healthy["1"][1]), (0, 0), rates)
        self.assertGreaterEqual(one_failing["1"][1], 2, rates)  # failed, backed off, failed again
        self.assertEqual(one_failing["1"][0], 0.0, rates)
        self.assertEqual(one_failing["0"][1], 0, rates)
        # The two share this machine's cores: the one left mines at least at
        # its rate beside a working device.
        self.assertGreaterEqual(one_failing["0"][0], 0.8 * healthy["0"][0], rates)


if __name__ == "__main__":
    unittest.main()
