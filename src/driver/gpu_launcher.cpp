#include "driver/gpu_launcher.h"

#include <cstring>

GpuLauncher::~GpuLauncher() { stop_gpu_launches(*this); }

namespace {

// The GPU thread: one batch after another from the header's nonces, until the
// loop stops it, a batch fails or holds a solution, or no nonce is left. It
// wakes the loop for each of those and once per unit for the refresh count.
void launch_until_stopped(GpuLauncher& gpu, const GpuLaunchSetup& setup) {
  GpuEnd end = GpuEnd::stopped;
  uint64_t woken_for = 0;  // the wake_after value the loop was last woken for
  while (gpu.running.load()) {
    const GpuBatch batch = gpu.retry.size != 0
                               ? gpu.retry
                               : gpu_take_batch(*setup.space, &gpu.own_next, setup.batch_size);
    gpu.retry = GpuBatch{0, 0};
    if (batch.size == 0 && setup.batch_size != 0) {
      end = GpuEnd::space_used_up;
      break;
    }
    MiningResult result{};
    if ((*setup.launch)(gpu.header, batch.start_nonce, batch.size, gpu.target, &result) != 0) {
      // A launch cut short by a stop is no failure; either way the batch is
      // launched again before any other.
      gpu.retry = batch;
      end = gpu.running.load() ? GpuEnd::failed : GpuEnd::stopped;
      break;
    }
    const uint64_t launched = gpu.launched.fetch_add(batch.size) + batch.size;
    if (result.found) {
      gpu.result = result;
      end = GpuEnd::solved;
      break;
    }
    const uint64_t wake_after = gpu.wake_after.load();
    if (launched > wake_after && woken_for != wake_after) {
      woken_for = wake_after;
      setup.wakeup->release();
    }
  }
  gpu.end = end;
  if (end != GpuEnd::stopped) {
    gpu.ended_by_itself.store(true);
    setup.wakeup->release();
  }
}

}  // namespace

bool start_gpu_launches(GpuLauncher& gpu, const uint8_t header[80], const uint32_t target[8],
                        const GpuLaunchSetup& setup) {
  const HeaderKey key = make_header_key(header, target);
  if (!same_header_key(gpu.key, key)) {
    std::memset(gpu.header, 0, sizeof gpu.header);
    std::memcpy(gpu.header, key.header, sizeof key.header);
    std::memcpy(gpu.target, key.target, sizeof gpu.target);
    gpu.key = key;
    gpu.own_next = 0;
    gpu.retry = GpuBatch{0, 0};
    gpu.used_up = false;
  }
  gpu.running.store(true);
  gpu.ended_by_itself.store(false);
  gpu.end = GpuEnd::stopped;
  gpu.result = MiningResult{};
  return start_thread_or_say(gpu.thread, *setup.start_thread,
                             [&gpu, setup] { launch_until_stopped(gpu, setup); }, "GPU launch");
}

bool gpu_launches_not_joined(const GpuLauncher& gpu) { return gpu.thread.joinable(); }

bool gpu_launches_cover(const GpuLauncher& gpu, const uint8_t header[80],
                        const uint32_t target[8]) {
  return gpu_launches_not_joined(gpu) && same_header_key(gpu.key, make_header_key(header, target));
}

bool gpu_launches_used_up(const GpuLauncher& gpu, const uint8_t header[80],
                          const uint32_t target[8]) {
  return gpu.used_up && same_header_key(gpu.key, make_header_key(header, target));
}

bool stop_gpu_launches(GpuLauncher& gpu, const std::function<void()>& stop_requested) {
  if (!gpu.thread.joinable()) return false;
  gpu.running.store(false);
  if (stop_requested) stop_requested();
  gpu.thread.join();
  if (gpu.end == GpuEnd::space_used_up) gpu.used_up = true;
  return true;
}
