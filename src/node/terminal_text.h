#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The one gate between text the miner did not write (a node's replies, the
// command line) and the terminal. A hostile node or a stray argument could
// otherwise clear the screen, set the window title, forge lines, reverse
// what follows on the line, or flood the terminal. Everything such text
// needs to be safe inside one line happens here:
//
// - it is cut to a readable length, then "..." marks the cut;
// - C0 controls and DEL show as \n, \r, \t or \xHH;
// - C1 controls show as \u0080 to \u009f when well-formed UTF-8, and every
//   byte that is not part of well-formed UTF-8 (a raw 0x9b, which some
//   terminals read as CSI, included) shows as \xHH;
// - the bidirectional marks, embeddings, overrides and isolates (U+061C,
//   U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) and the line and
//   paragraph separators (U+2028, U+2029) show as \uHHHH;
// - everything else, other languages' letters included, passes as it is.

// How many characters of shown text a line gets before the cut. An escape
// counts with its every character, so the line stays short whatever came in.
constexpr size_t kMaxShownTextChars = 200;

std::string terminal_text(std::string_view text, size_t max_chars = kMaxShownTextChars);
