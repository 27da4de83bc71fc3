#pragma once

#include <cstddef>
#include <string>

#include "node/json_doc.h"

// The most JSON values a node reply may hold. jansson spends up to about 200
// bytes on each value (an empty object is a hash table), so a reply made of
// tiny values costs far more memory than its size: a 32 MiB reply of "{},"
// would take gigabytes. A template for the largest block holds about 11
// values per transaction (object, members, an empty dependency list), some
// 720,000 at 65534 transactions; this leaves room above that and keeps the
// parse of any reply within a few hundred megabytes.
constexpr size_t kMaxReplyJsonValues = size_t{1} << 20;

// An upper bound on the values jansson would allocate for `text`: one for
// the document, one per array element or object member (counted by the
// separators and the first entry of every container) and one per container. Counting stops once the
// bound is passed. Strings are skipped with their escapes, so brackets and
// commas inside them do not count. Linear, allocates nothing.
size_t json_values_within(const std::string& text, size_t bound);

// `reply` parsed as json_loads(reply, 0, error) does, except that a reply with
// more than kMaxReplyJsonValues values is refused unparsed: the result is
// null and error->text says why, as for any other parse error.
JsonDoc parse_reply(const std::string& reply, json_error_t* error);

// `reply` with every array that sits inside a member of the top-level
// object emptied ("result":{"transactions":[...]} becomes
// "result":{"transactions":[]}), for readers that need a template's few
// scalar members and not its megabytes of transactions: a template for the
// largest block parses into some 70 MB, its outline into next to nothing.
// Strings are skipped with their escapes. Text that is not well-formed
// JSON stays not well-formed.
std::string json_outline(const std::string& reply);
