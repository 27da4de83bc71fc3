#include "api/state_names.h"

const char* device_state_key(DeviceState state) {
  switch (state) {
    case DeviceState::mining: return "mining";
    case DeviceState::waiting: return "waiting";
    case DeviceState::backing_off: return "backing_off";
    case DeviceState::hot: return "hot";
  }
  return "waiting";
}

const char* node_state_key(NodeState state) {
  switch (state) {
    case NodeState::connecting: return "connecting";
    case NodeState::answering: return "answering";
    case NodeState::failing: return "failing";
  }
  return "connecting";
}

const char* longpoll_state_key(LongpollState state) {
  switch (state) {
    case LongpollState::starting: return "starting";
    case LongpollState::holding: return "holding";
    case LongpollState::retrying: return "retrying";
    case LongpollState::unsupported: return "unsupported";
  }
  return "starting";
}

const char* block_verdict_key(BlockVerdict verdict) {
  switch (verdict) {
    case BlockVerdict::pending: return "pending";
    case BlockVerdict::accepted: return "accepted";
    case BlockVerdict::refused: return "refused";
    case BlockVerdict::lost: return "lost";
  }
  return "pending";
}
