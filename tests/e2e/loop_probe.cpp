// The mining loop with the real node client and a simulated card whose
// batches take a millisecond each: the batch queued BATCH-th (from 0)
// reports a solution at its first nonce. With two batches of 2^31 nonces a
// second, batch 2 is the first of the header time one second past the
// node's curtime, so the block goes in with a rolled time; against a node
// whose target every hash meets, that block is valid. The loop stops after
// the first submission and prints one line on standard error:
//   submitted TIME NONCE accepted|refused
//
// Usage: loop_probe URL BATCH

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "driver/mining_loop.h"
#include "driver/run_flag.h"
#include "gpu/backend.h"
#include "hash/byte_order.h"
#include "node/gbt_client.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: loop_probe URL BATCH\n", stderr);
    return 2;
  }
  const int solution_batch = std::atoi(argv[2]);

  Options options;
  options.rpc_url = argv[1];
  options.rpc_user = "tamrix";
  options.rpc_pass = "tamrix";
  options.coinbase_addr = "tamrixdev1qminer";
  options.gpu_only = true;
  options.batch_size = 1u << 31;
  const DeviceModes modes = derive_device_modes(options);
  GbtClient client(*options.rpc_url, options.rpc_user, *options.rpc_pass, options.coinbase_addr);

  // Touched by the GPU thread only.
  int queued = 0;
  int batch_in_slot[kGpuBatchSlots] = {};
  uint32_t first_nonce_in_slot[kGpuBatchSlots] = {};

  MiningPorts ports;
  ports.get_work = [&] { return client.get_work(); };
  ports.submit_block = [&](const BlockWork& work, uint32_t nonce) {
    const bool accepted = client.submit_block(work, nonce).verdict == SubmitVerdict::accepted;
    std::fprintf(stderr, "submitted %u %u %s\n", header_time(work.header), nonce,
                 accepted ? "accepted" : "refused");
    g_running.store(false);
    return accepted;
  };
  ports.gpu_batches.queue = [&](int slot, const uint8_t*, uint32_t start_nonce, uint32_t,
                                const uint32_t*) {
    batch_in_slot[slot] = queued++;
    first_nonce_in_slot[slot] = start_nonce;
    return 0;
  };
  ports.gpu_batches.collect = [&](int slot, MiningResult* result) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (result) {
      result->found = batch_in_slot[slot] == solution_batch;
      result->nonce = first_nonce_in_slot[slot];
    }
    return 0;
  };
  ports.power_get_temp = [] { return -1; };
  ports.power_shutdown = [] {};
  ports.now = [] { return std::chrono::steady_clock::now(); };

  std::thread timer([] {
    for (int k = 0; k < 300 && g_running.load(); ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    g_running.store(false);
  });
  mine_with_ports(options, modes, ports);
  timer.join();
  return 0;
}
