#include "node/watch_pace.h"

NodeClock::duration watch_pause(WatchAnswer answer, int failures) {
  switch (answer) {
    case WatchAnswer::new_tip:
      return kShortestWatchPause;
    case WatchAnswer::same_tip:
      return kSameTipPause;
    case WatchAnswer::failed:
      break;
  }
  NodeClock::duration pause = kFirstFailurePause;
  for (int i = 1; i < failures && pause < kLongestFailurePause; ++i) pause *= 2;
  return pause < kLongestFailurePause ? pause : kLongestFailurePause;
}
