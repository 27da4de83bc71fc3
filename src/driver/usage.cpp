#include "driver/usage.h"

#include <cstdio>

void print_banner() {
  std::fputs("tamrix-miner v" TAMRIX_VERSION " - TAMRIX SHA3-512 Unified CPU+GPU Miner\n", stdout);
}

void print_help() {
  // One format with no arguments, so each %% prints as a single percent sign.
  std::printf(
      "\n"
      "Usage:\n"
      "  tamrix-miner [OPTIONS] -o <url> -u <user> -p <pass> --coinbase-addr=<addr>\n"
      "  tamrix-miner [OPTIONS] --benchmark\n"
      "\n"
      "Mining options:\n"
      "  -o <url>              tamrixd RPC URL (e.g. http://127.0.0.1:18444)\n"
      "  -u <user>             RPC username\n"
      "  -p <pass>             RPC password\n"
      "  --coinbase-addr=ADDR  TAMRIX address for mining rewards\n"
      "\n"
      "Device selection:\n"
      "  --cpu-only            CPU mining only (no GPU)\n"
      "  --gpu-only            GPU mining only (no CPU) [default if no --cpu-threads]\n"
      "  --cpu-threads N       Number of CPU mining threads (enables CPU mining)\n"
      "  -d N                  Select GPU device index (default: 0)\n"
      "  --no-gpu              Alias for --cpu-only\n"
      "\n"
      "Performance:\n"
      "  --power-limit N       Set GPU power to N%% of TDP (requires root)\n"
      "  --batch-size N        GPU nonces per launch, 0 = by time (default: 0)\n"
      "\n"
      "Benchmark:\n"
      "  --benchmark           Run hash rate benchmark (no network needed)\n"
      "  --bench-duration N    Benchmark duration in seconds (default: 5)\n"
      "\n"
      "General:\n"
      "  -h, --help            Show this help\n"
      "  -v, --version         Show version\n"
      "\n"
      "Examples:\n"
      "  # GPU only (default)\n"
      "  tamrix-miner -o http://127.0.0.1:18444 -u user -p pass --coinbase-addr=tamrixrt1q...\n"
      "\n"
      "  # CPU only, 8 threads\n"
      "  tamrix-miner --cpu-only --cpu-threads 8 -o http://... -u user -p pass --coinbase-addr=...\n"
      "\n"
      "  # GPU + CPU combined\n"
      "  tamrix-miner --cpu-threads 4 -o http://... -u user -p pass --coinbase-addr=...\n"
      "\n"
      "  # Benchmark everything\n"
      "  tamrix-miner --benchmark --cpu-threads 8\n"
      "\n"
      "  # GPU at 50%% power\n"
      "  tamrix-miner --power-limit 50 -o http://... -u user -p pass --coinbase-addr=...\n");
}
