#pragma once

#include <cstdint>

// The host's half of cutting a device's batches short (gpu_cancel_batches),
// the same for the CUDA and OpenCL variants. Each device has one stop word in
// memory its kernels read at the start of every group. The word never goes
// down: each cancel counts one more stop request and raises the word to the
// count, and a batch runs under the count there was when the device had no
// batch queued before it (`stops_seen`, a kernel argument). A group skips
// its nonces once the word exceeds its batch's stops_seen. So no reset has to
// reach the device before the next batch, and a cancel that comes while that
// batch is being queued still cuts it.

// One more stop request; returns the count with it. Any thread.
uint32_t count_stop_request(uint32_t* requests);

// The stop requests so far, for the stops_seen of a batch queued on an idle
// device. Any thread.
uint32_t stop_requests_so_far(uint32_t* requests);

// Raises the host's copy of the stop word to `count` unless another cancel
// has raised it further, so that the word the device reads only grows
// however the cancels of several threads interleave. Any thread.
void raise_stop_word(uint32_t* word, uint32_t count);
