#pragma once

#include "driver/rig_status.h"

// The names the API gives the record's states, in JSON and as metric label
// values: lower case, words joined by '_', stable for scripts and alerts.

const char* device_state_key(DeviceState state);    // mining, waiting, backing_off, hot
const char* node_state_key(NodeState state);        // connecting, answering, failing
const char* longpoll_state_key(LongpollState state);  // starting, holding, retrying, unsupported
const char* block_verdict_key(BlockVerdict verdict);  // pending, accepted, refused, lost

// Every value of each, in declaration order: a metric of a state has one
// series per value, 1 for the current one.
inline constexpr DeviceState kDeviceStates[] = {DeviceState::mining, DeviceState::waiting,
                                                DeviceState::backing_off, DeviceState::hot};
inline constexpr NodeState kNodeStates[] = {NodeState::connecting, NodeState::answering,
                                            NodeState::failing};
inline constexpr LongpollState kLongpollStates[] = {LongpollState::starting, LongpollState::holding,
                                                    LongpollState::retrying,
                                                    LongpollState::unsupported};
