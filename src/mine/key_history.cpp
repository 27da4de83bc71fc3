#include "mine/key_history.h"

#include <algorithm>

namespace {

// The index of key's entry, or kKept when it has none.
size_t index_of(const KeyHistory& history, const HeaderKey& key) {
  const size_t used = std::min(history.written, KeyHistory::kKept);
  for (size_t i = 0; i < used; ++i)
    if (same_header_key(history.entries[i].key, key)) return i;
  return KeyHistory::kKept;
}

}  // namespace

void remember_key(KeyHistory& history, const HeaderKey& key, uint64_t next) {
  if (!key.set) return;
  const size_t found = index_of(history, key);
  if (found != KeyHistory::kKept) {
    history.entries[found].next = std::max(history.entries[found].next, next);
    return;
  }
  history.entries[history.written % KeyHistory::kKept] = KeyHistory::Entry{key, next};
  ++history.written;
}

uint64_t recall_key(const KeyHistory& history, const HeaderKey& key) {
  const size_t found = index_of(history, key);
  return found == KeyHistory::kKept ? 0 : history.entries[found].next;
}
