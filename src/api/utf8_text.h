#pragma once

#include <string>
#include <string_view>

// `text` with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD. Names and reasons come from drivers and nodes; jansson refuses a
// string that is not UTF-8, and so does a Prometheus scrape.
std::string valid_utf8(std::string_view text);
