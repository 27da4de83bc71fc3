"""Command line of the built miner: every exit path, its output streams and
exit code, and the argument rules that the scan has to get right."""

import os
import signal
import socket
import subprocess
import threading
import time
import unittest

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
BANNER = "tamrix-miner v0.1.0 - TAMRIX SHA3-512 Unified CPU+GPU Miner\n"
with open(os.path.join(DATA_DIR, "help.txt"), encoding="ascii", newline="") as help_file:
    HELP = help_file.read()

MUTUALLY_EXCLUSIVE = "Error: --cpu-only and --gpu-only are mutually exclusive\n"
NEEDS_THREADS = "Error: --cpu-only requires --cpu-threads N\n"
NO_GPU_SUPPORT = "Error: this build has no GPU support; mine with --cpu-only --cpu-threads N\n"


def miner_path():
    path = os.environ.get("TAMRIX_MINER")
    if not path:
        raise RuntimeError("TAMRIX_MINER must name the built tamrix-miner binary")
    return path


def assert_no_sanitizer_report(test, stderr):
    test.assertNotIn("Sanitizer", stderr)
    test.assertNotIn("runtime error:", stderr)


def run_miner(test, args, timeout=60):
    """Runs the miner to completion; returns (exit code, stdout, stderr)."""
    proc = subprocess.run([miner_path()] + list(args), capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)
    assert_no_sanitizer_report(test, proc.stderr)
    return proc.returncode, proc.stdout, proc.stderr


def closed_loopback_port():
    """A bound but not listening socket: connections to its port are refused,
    and no other process can take the port while the socket is held."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    return sock


class ExitPathTest(unittest.TestCase):
    def assert_run(self, args, code, stdout, stderr=""):
        rc, out, err = run_miner(self, args)
        self.assertEqual(out, stdout)
        self.assertEqual(err, stderr)
        self.assertEqual(rc, code)

    def test_unknown_option_prints_message_and_help_without_banner(self):
        self.assert_run(["--bogus"], 1, HELP, "Unknown option: --bogus\n")
        self.assert_run(["--cpu-threads", "2", "extra", "--also-bad"], 1, HELP,
                        "Unknown option: extra\n")

    def test_unknown_option_after_help_still_wins(self):
        self.assert_run(["-h", "--what"], 1, HELP, "Unknown option: --what\n")
        self.assert_run(["-v", "-x"], 1, HELP, "Unknown option: -x\n")

    def test_version(self):
        self.assert_run(["-v"], 0, BANNER)
        self.assert_run(["--version"], 0, BANNER)

    def test_help(self):
        self.assert_run(["-h"], 0, BANNER + HELP)
        self.assert_run(["--help"], 0, BANNER + HELP)

    def test_version_takes_precedence_over_help(self):
        self.assert_run(["-v", "-h"], 0, BANNER)
        self.assert_run(["--help", "--version"], 0, BANNER)

    def test_help_comes_before_the_device_checks(self):
        self.assert_run(["-h", "--cpu-only", "--gpu-only"], 0, BANNER + HELP)
        self.assert_run(["--cpu-only", "--help"], 0, BANNER + HELP)

    def test_cpu_only_and_gpu_only_are_mutually_exclusive(self):
        self.assert_run(["--cpu-only", "--gpu-only", "--cpu-threads", "4"], 1, BANNER,
                        MUTUALLY_EXCLUSIVE)
        self.assert_run(["--no-gpu", "--gpu-only"], 1, BANNER, MUTUALLY_EXCLUSIVE)

    def test_mutual_exclusion_is_reported_before_the_thread_count(self):
        self.assert_run(["--cpu-only", "--gpu-only", "--cpu-threads", "0"], 1, BANNER,
                        MUTUALLY_EXCLUSIVE)

    def test_cpu_only_needs_a_thread_count(self):
        self.assert_run(["--cpu-only"], 1, BANNER, NEEDS_THREADS)
        self.assert_run(["--no-gpu", "--cpu-threads", "many"], 1, BANNER, NEEDS_THREADS)
        self.assert_run(["--cpu-only", "--cpu-threads=0"], 1, BANNER, NEEDS_THREADS)

    def test_negative_thread_count_passes_the_checks(self):
        # No device at all, but no error: mining mode then lacks node settings.
        self.assert_run(["--cpu-only", "--cpu-threads", "-1"], 1, BANNER + HELP)

    def test_mining_without_node_settings_prints_help(self):
        self.assert_run([], 1, BANNER + HELP)
        self.assert_run(["-o", "http://127.0.0.1:1", "-u", "u", "-p", "p"], 1, BANNER + HELP)
        self.assert_run(["-u", "u", "-p", "p", "--coinbase-addr=a"], 1, BANNER + HELP)
        self.assert_run(["--cpu-threads", "2", "--power-limit", "50", "-d", "1"], 1,
                        BANNER + HELP)

    def test_benchmark_ignores_node_settings(self):
        self.assert_run(["--benchmark", "-o", "http://127.0.0.1:1", "-u", "u", "-p", "p",
                         "--coinbase-addr=x"], 0,
                        BANNER + "\n--- GPU Benchmark (5 seconds) ---\nGPU: 0.00 H/s\n")


GPU_BENCHMARK = "\n--- GPU Benchmark (5 seconds) ---\nGPU: 0.00 H/s\n"


class DeviceChoiceTest(unittest.TestCase):
    """-d N and --batch-size keep every specified output; a list or all is
    read in this build too, where a context opens for any index and measures
    nothing, and the rig's total line comes first."""

    def test_device_choice_and_batch_size_keep_the_specified_outputs(self):
        cases = [
            (["--benchmark", "-d", "3"], 0, BANNER + GPU_BENCHMARK),
            (["--benchmark", "-d", "1", "--batch-size", "0"], 0, BANNER + GPU_BENCHMARK),
            (["--benchmark", "--batch-size=4000000000", "-d", "-2"], 0, BANNER + GPU_BENCHMARK),
            (["--benchmark", "--batch-size", "-1", "--gpu-only"], 0, BANNER + GPU_BENCHMARK),
            (["--benchmark", "-d", "0,1"], 0, BANNER + GPU_BENCHMARK + "  GPU 0: 0.00 H/s\n  GPU 1: 0.00 H/s\n"),
            (["--benchmark", "-d", "all"], 0, BANNER + GPU_BENCHMARK),
            (["-d", "2", "--batch-size", "65536", "--cpu-threads", "1"], 1, BANNER + HELP),
            (["-d", "0,1", "--batch-size"], 1, BANNER + HELP),
            (["--list-devices", "-d", "all"], 0,
             BANNER + "No GPU to mine on: this build has no GPU support (CPU-only build)\n"),
        ]
        for args, code, out in cases:
            with self.subTest(args=args):
                self.assertEqual(run_miner(self, args), (code, out, ""))


class LastArgumentTest(unittest.TestCase):
    def test_value_option_in_last_place_is_unknown(self):
        for option in ["-d", "-o", "-u", "-p", "--coinbase-addr"]:
            with self.subTest(option=option):
                rc, out, err = run_miner(self, ["--cpu-threads", "1", option])
                self.assertEqual(err, "Unknown option: %s\n" % option)
                self.assertEqual(out, HELP)
                self.assertEqual(rc, 1)

    def test_numeric_option_in_last_place_is_ignored(self):
        for option in ["--power-limit", "--cpu-threads", "--batch-size", "--bench-duration"]:
            with self.subTest(option=option):
                rc, out, err = run_miner(self, ["-v", option])
                self.assertEqual((rc, out, err), (0, BANNER, ""))
        # Ignored means the thread count stays 0, which --cpu-only refuses.
        rc, out, err = run_miner(self, ["--cpu-only", "--cpu-threads"])
        self.assertEqual((rc, out, err), (1, BANNER, NEEDS_THREADS))

    def test_url_may_begin_with_a_dash(self):
        # "-x" is taken as the URL, not reported as an unknown option; the run
        # then stops for the missing user, password and address.
        rc, out, err = run_miner(self, ["-o", "-x"])
        self.assertEqual((rc, out, err), (1, BANNER + HELP, ""))


class SignalStopTest(unittest.TestCase):
    """Mining runs against a refused port: every get_work fails, the miner waits
    5 seconds between tries, and a signal ends the run, wait or not, with exit
    code 0."""

    def mine_until_signal(self, args, signal_number, wait_on_stderr=False,
                          wait_for="Connecting to"):
        """Starts a mining run and sends the signal once `wait_for` has appeared
        on stdout (or stderr); returns (exit code, stdout, stderr, url)."""
        holder = closed_loopback_port()
        self.addCleanup(holder.close)
        url = "http://127.0.0.1:%d" % holder.getsockname()[1]
        proc = subprocess.Popen([miner_path(), "-o", url] + args, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(proc.kill)
        watched = proc.stderr if wait_on_stderr else proc.stdout
        seen = ""
        while wait_for not in seen:
            line = watched.readline()
            self.assertNotEqual(line, "", "miner ended before printing %r: %s" % (wait_for, seen))
            seen += line
        proc.send_signal(signal_number)
        signalled = time.monotonic()
        # Read through the same buffered streams as readline above (communicate
        # would bypass what they already hold); a hung miner is killed.
        watchdog = threading.Timer(60, proc.kill)
        watchdog.start()
        self.addCleanup(watchdog.cancel)
        out = proc.stdout.read()
        err = proc.stderr.read()
        proc.wait()
        self.stopped_after = time.monotonic() - signalled
        proc.stdout.close()
        proc.stderr.close()
        if wait_on_stderr:
            err = seen + err
        else:
            out = seen + out
        assert_no_sanitizer_report(self, err)
        return proc.returncode, out, err, url

    def assert_stopped_cleanly(self, rc, out, err, start_lines):
        self.assertEqual(rc, 0)
        # The handler's line lands between two whole lines, wherever the run was.
        self.assertEqual(out.count("\nShutting down...\n"), 1, out)
        self.assertEqual(out.replace("\nShutting down...\n", "", 1),
                         BANNER + start_lines + "Shutting down. Blocks found: 0\n")
        # A signal that arrives before the first get_work leaves stderr empty.
        for line in err.splitlines():
            self.assertTrue(line.startswith("RPC call failed: ")
                            or line == "Failed to get work, retrying in 5s...", err)

    def test_empty_coinbase_address_counts_and_sigint_stops(self):
        rc, out, err, url = self.mine_until_signal(
            ["--cpu-only", "--cpu-threads", "1", "-u", "u", "-p", "p", "--coinbase-addr="],
            signal.SIGINT)
        self.assert_stopped_cleanly(rc, out, err,
                                    "Connecting to %s...\n" % url
                                    + "CPU mining: 1 threads\n"
                                    + "GPU mining: disabled (--cpu-only)\n")

    def test_sigterm_ends_the_retry_wait_at_once(self):
        rc, out, err, url = self.mine_until_signal(
            ["--cpu-only", "--cpu-threads", "1", "-u", "u", "-p", "", "--coinbase-addr", "addr",
             "--power-limit", "50", "-d", "0,2", "--batch-size", "0"],
            signal.SIGTERM, wait_on_stderr=True, wait_for="Failed to get work")
        self.assertIn("Failed to get work, retrying in 5s...\n", err)
        # The stop ends the 5-second wait when it comes, not when the wait is over.
        self.assertLess(self.stopped_after, 3.0 if os.environ.get("TAMRIX_SANITIZE") else 1.0)
        self.assert_stopped_cleanly(rc, out, err,
                                    "Connecting to %s...\n" % url
                                    + "CPU mining: 1 threads\n"
                                    + "GPU mining: disabled (--cpu-only)\n")


class NoGpuSupportTest(unittest.TestCase):
    """A build without GPU support asked to mine on the GPU says so in one line
    and exits 1 before it connects, instead of failing every launch."""

    def test_mining_without_cpu_only_is_refused_before_connecting(self):
        holder = closed_loopback_port()
        self.addCleanup(holder.close)
        url = "http://127.0.0.1:%d" % holder.getsockname()[1]
        for devices in ([], ["--cpu-threads", "2"], ["--gpu-only", "--batch-size", "0"], ["-d", "0,1"],
                        ["-d", "all", "--cpu-threads", "1"]):
            with self.subTest(devices=devices):
                rc, out, err = run_miner(self, devices + ["-o", url, "-u", "u", "-p", "p",
                                                          "--coinbase-addr", "a"])
                self.assertEqual((rc, out, err), (1, BANNER, NO_GPU_SUPPORT))

    def test_missing_node_settings_come_first(self):
        rc, out, err = run_miner(self, ["--cpu-threads", "2"])
        self.assertEqual((rc, out, err), (1, BANNER + HELP, ""))

if __name__ == "__main__":
    unittest.main()
