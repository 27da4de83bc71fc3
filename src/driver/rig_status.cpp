#include "driver/rig_status.h"

const char* device_state_name(DeviceState state) {
  switch (state) {
    case DeviceState::mining: return "mining";
    case DeviceState::waiting: return "waiting";
    case DeviceState::backing_off: return "backing off";
    case DeviceState::hot: return "hot";
  }
  return "waiting";
}

void publish_rig_status(RigBoard& board, const RigStatus& status) {
  std::lock_guard<std::mutex> hold(board.lock);
  board.status = status;
  board.published = true;
}

RigStatus read_rig_status(const RigBoard& board, bool* published) {
  std::lock_guard<std::mutex> hold(board.lock);
  if (published != nullptr) *published = board.published;
  return board.status;
}
