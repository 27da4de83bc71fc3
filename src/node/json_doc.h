#pragma once

#include <memory>

#include <jansson.h>

// A parsed jansson document, released when it goes out of scope, so every
// early return of a reply parser frees what it parsed.
struct JsonRelease {
  void operator()(json_t* doc) const { json_decref(doc); }
};
using JsonDoc = std::unique_ptr<json_t, JsonRelease>;
