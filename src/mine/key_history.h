#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "mine/header_key.h"

// Where the search of the last few header keys stood when the loop left
// them, so that work returning to an earlier key (a template whose
// transactions went back to an earlier set) goes on past what was searched
// instead of searching it again. Only the loop's thread uses it.
struct KeyHistory {
  struct Entry {
    HeaderKey key;
    uint64_t next = 0;  // the key's WorkSpace::next when it was left
  };
  static constexpr size_t kKept = 16;
  std::array<Entry, kKept> entries;
  size_t written = 0;  // entries written so far; the oldest is overwritten first
};

// Notes that `key`'s search stood at `next`, replacing what was noted for it.
void remember_key(KeyHistory& history, const HeaderKey& key, uint64_t next);

// Where `key`'s search stood when it was last left; 0 when not noted.
uint64_t recall_key(const KeyHistory& history, const HeaderKey& key);
