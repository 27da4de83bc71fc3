#include "node/work_assembly.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hash/byte_order.h"
#include "hash/sha3_fast.h"
#include "hash/stderr_line.h"
#include "node/coinbase.h"
#include "node/hex.h"
#include "node/json_reply.h"
#include "node/merkle_tree.h"
#include "node/node_messages.h"

namespace {

constexpr size_t kHash32HexChars = 64;     // target, previousblockhash, txid
constexpr size_t kMaxTemplateTxs = 65534;  // the count, plus the coinbase, fits "fd" form

// The template members work assembly reads; strings belong to the document.
struct TemplateFields {
  int32_t height;
  uint32_t version;
  uint32_t curtime;
  const char* bits;
  const char* previousblockhash;
  const char* target;
  uint64_t coinbasevalue;
  const char* default_witness_commitment;
  const json_t* transactions;
};

const char* member_string(const json_t* object, const char* key) {
  return json_string_value(json_object_get(object, key));
}

// The node sends plain integers; only their low 32 bits are meaningful here.
uint32_t member_low32(const json_t* object, const char* key) {
  return static_cast<uint32_t>(json_integer_value(json_object_get(object, key)));
}

TemplateFields read_template(const json_t* result) {
  TemplateFields t;
  t.height = static_cast<int32_t>(member_low32(result, "height"));
  t.version = member_low32(result, "version");
  t.curtime = member_low32(result, "curtime");
  t.bits = member_string(result, "bits");
  t.previousblockhash = member_string(result, "previousblockhash");
  t.target = member_string(result, "target");
  t.coinbasevalue = static_cast<uint64_t>(json_integer_value(json_object_get(result, "coinbasevalue")));
  t.default_witness_commitment = member_string(result, "default_witness_commitment");
  t.transactions = json_object_get(result, "transactions");
  return t;
}

// One line on stderr naming the template member that cannot be used; every
// such line starts the same way, so it is written here and nowhere else.
[[gnu::format(printf, 1, 2)]] void report_invalid_field(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint_stderr_line("Invalid GBT field: ", format, args);
  va_end(args);
}

// A member the node sent with the wrong JSON type would read as 0 or as
// absent and give work whose block the node can only reject, so it is
// refused instead. JSON null counts as absent, like a missing member.
bool present_but_not(const json_t* value, bool (*is_expected)(const json_t*)) {
  return value != nullptr && !json_is_null(value) && !is_expected(value);
}

bool is_integer(const json_t* v) { return json_is_integer(v); }
bool is_string(const json_t* v) { return json_is_string(v); }
bool is_array(const json_t* v) { return json_is_array(v); }
bool is_object(const json_t* v) { return json_is_object(v); }

bool member_types_valid(const json_t* result) {
  for (const char* key : {"height", "version", "curtime", "coinbasevalue"}) {
    if (present_but_not(json_object_get(result, key), is_integer)) {
      report_invalid_field("%s is not an integer", key);
      return false;
    }
  }
  if (present_but_not(json_object_get(result, "default_witness_commitment"), is_string)) {
    report_invalid_field("%s", "default_witness_commitment is not a string");
    return false;
  }
  const json_t* transactions = json_object_get(result, "transactions");
  if (present_but_not(transactions, is_array)) {
    report_invalid_field("%s", "transactions is not an array");
    return false;
  }
  for (size_t k = 0; k < json_array_size(transactions); ++k) {
    const json_t* tx = json_array_get(transactions, k);
    const char* problem = nullptr;
    if (!is_object(tx)) {
      problem = "is not an object";
    } else if (present_but_not(json_object_get(tx, "data"), is_string)) {
      problem = ".data is not a string";
    } else if (present_but_not(json_object_get(tx, "txid"), is_string)) {
      problem = ".txid is not a string";
    }
    if (problem) {
      report_invalid_field("transactions[%zu]%s%s", k, problem[0] == '.' ? "" : " ", problem);
      return false;
    }
  }
  return true;
}

AnnouncedWork refuse_as(const char* problem) {
  report_invalid_field("%s", problem);
  return {};
}

bool all_hex_digits(const char* text) { return text[std::strspn(text, "0123456789abcdefABCDEF")] == '\0'; }

// Node byte order is reversed relative to the order the text is written in.
void decode_hash32(const char* hex, uint8_t out[32]) {
  hex2bin(out, hex, 32);
  memrev(out, 32);
}

// The reward script from a validateaddress reply; false when there is none
// worth using (the caller reports it).
bool read_script_pubkey(const std::string& reply, std::string* script_hex) {
  if (reply.empty()) return false;
  json_error_t error;
  const JsonDoc doc = parse_reply(reply, &error);
  if (!doc) return false;
  report_node_error("validateaddress", doc.get());
  const char* script = member_string(json_object_get(doc.get(), "result"), "scriptPubKey");
  if (script == nullptr || std::strlen(script) <= 3) return false;
  *script_hex = script;
  return true;
}

// At most 6 characters: the count is never above kMaxTemplateTxs + 1.
void append_compact_size_hex(std::string& out, size_t count) {
  char text[7];
  if (count <= 252) {
    std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(count));
  } else {
    std::snprintf(text, sizeof text, "fd%02x%02x", static_cast<unsigned>(count & 0xff),
                  static_cast<unsigned>(count >> 8));
  }
  out += text;
}

// Encodes straight into the string's own buffer; bin2hex's terminator lands
// on the one std::string keeps after its last character.
void append_hex(std::string& out, const std::vector<uint8_t>& bytes) {
  const size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  bin2hex(out.data() + start, bytes.data(), static_cast<int32_t>(bytes.size()));
}

void decode_target(const char* hex, uint32_t words[8]) {
  uint8_t bytes[32];
  decode_hash32(hex, bytes);
  for (int i = 0; i < 8; ++i) words[i] = load_le32(bytes + 4 * i);
}

// The coinbase, or false when it breaks a limit (reported).
bool coinbase_built(const CoinbaseParts& parts, std::vector<uint8_t>* coinbase) {
  switch (build_coinbase(parts, coinbase)) {
    case CoinbaseProblem::kNone:
      return true;
    case CoinbaseProblem::kRewardScriptTooLong:
      std::fputs("Invalid validateaddress field: scriptPubKey is longer than 252 bytes\n", stderr);
      return false;
    case CoinbaseProblem::kCommitmentTooLong:
      report_invalid_field("%s", "default_witness_commitment is longer than 252 bytes");
      return false;
    case CoinbaseProblem::kCommitmentOverfills:
      report_invalid_field("%s", "default_witness_commitment makes the coinbase longer than 512 bytes");
      return false;
  }
  return false;
}

// The template's own limits that do not depend on the reward script, so a
// template that breaks one is refused before validateaddress is called.
// `commitment` is null when there is none. False (reported) on the first
// broken limit.
bool template_limits_hold(const char* commitment, const json_t* transactions) {
  if (!commitment_fits(commitment)) {
    report_invalid_field("%s", "default_witness_commitment is longer than 252 bytes");
    return false;
  }
  const size_t template_txs = json_array_size(transactions);
  if (template_txs > kMaxTemplateTxs) {
    report_invalid_field("%s", "transactions has more than 65534 entries");
    return false;
  }
  for (size_t k = 0; k < template_txs; ++k) {
    const json_t* txid = json_object_get(json_array_get(transactions, k), "txid");
    if (json_is_string(txid) && json_string_length(txid) != kHash32HexChars) {
      report_invalid_field("transactions[%zu].txid is not 64 characters", k);
      return false;
    }
  }
  return true;
}

// Sized once up front: a large template carries megabytes of data, and
// growing the string as it goes would copy them several times.
std::string transaction_section(const std::vector<uint8_t>& coinbase, const json_t* transactions) {
  const size_t template_txs = json_array_size(transactions);
  size_t data_chars = 0;
  for (size_t k = 0; k < template_txs; ++k) {
    data_chars += json_string_length(json_object_get(json_array_get(transactions, k), "data"));
  }
  std::string txn_hex;
  txn_hex.reserve(6 + 2 * coinbase.size() + data_chars);
  append_compact_size_hex(txn_hex, template_txs + 1);
  append_hex(txn_hex, coinbase);
  for (size_t k = 0; k < template_txs; ++k) {
    const json_t* data = json_object_get(json_array_get(transactions, k), "data");
    if (json_is_string(data)) txn_hex.append(json_string_value(data), json_string_length(data));
  }
  return txn_hex;
}

// Entry 0 is the coinbase id, entry k the k-th template transaction's txid
// (zero without one). The txid lengths were checked with the template.
std::vector<Hash32> merkle_leaves(const std::vector<uint8_t>& coinbase, const json_t* transactions) {
  const size_t template_txs = json_array_size(transactions);
  std::vector<Hash32> leaves(template_txs + 1, Hash32{});
  sha3_256_fast(coinbase.data(), coinbase.size(), leaves[0].data());
  for (size_t k = 0; k < template_txs; ++k) {
    const char* txid = member_string(json_array_get(transactions, k), "txid");
    if (txid != nullptr) decode_hash32(txid, leaves[k + 1].data());
  }
  return leaves;
}

void lay_out_header(uint8_t header[80], const TemplateFields& t, const uint8_t previous_hash[32],
                    const Hash32& merkle_root, uint32_t bits) {
  store_le32(header, t.version);
  std::memcpy(header + 4, previous_hash, 32);
  std::memcpy(header + 36, merkle_root.data(), 32);
  store_le32(header + 68, t.curtime);
  store_le32(header + 72, bits);
}

}  // namespace

AnnouncedWork assemble_work_unannounced(const std::string& template_reply, const std::string& coinbase_addr,
                                        const AddressFetch& fetch_address_reply) {
  BlockWork work;
  if (template_reply.empty()) return {};
  json_error_t error;
  const JsonDoc doc = parse_reply(template_reply, &error);
  if (!doc) {
    std::fprintf(stderr, "JSON parse error: %s\n", terminal_text(error.text).c_str());
    return {};
  }
  report_node_error("getblocktemplate", doc.get());
  const json_t* result = json_object_get(doc.get(), "result");
  if (result == nullptr) return {};

  const TemplateFields t = read_template(result);
  if (t.bits == nullptr || t.previousblockhash == nullptr || t.target == nullptr) {
    std::fputs("Missing GBT fields\n", stderr);
    return {};
  }
  if (!member_types_valid(result)) return {};
  // The target is shown in every "New block" line, so what is not hex
  // never gets that far.
  if (std::strlen(t.target) != kHash32HexChars) return refuse_as("target is not 64 characters");
  if (!all_hex_digits(t.target)) return refuse_as("target is not 64 hex digits");
  decode_target(t.target, work.target);
  const uint32_t bits = static_cast<uint32_t>(std::strtoul(t.bits, nullptr, 16));
  if (std::strlen(t.previousblockhash) != kHash32HexChars) {
    return refuse_as("previousblockhash is not 64 characters");
  }
  if (!all_hex_digits(t.previousblockhash)) return refuse_as("previousblockhash is not 64 hex digits");
  uint8_t previous_hash[32];
  decode_hash32(t.previousblockhash, previous_hash);

  if (t.height < 0) return refuse_as("height is negative");
  const char* commitment = t.default_witness_commitment;
  if (commitment != nullptr && commitment[0] == '\0') commitment = nullptr;  // empty: one output
  if (!template_limits_hold(commitment, t.transactions)) return {};

  const std::optional<std::string> address_reply = fetch_address_reply();
  if (!address_reply) return {};
  std::string script_hex;
  if (!read_script_pubkey(*address_reply, &script_hex)) {
    std::fprintf(stderr, "Could not get scriptPubKey for %s\n", terminal_text(coinbase_addr).c_str());
    return {};
  }
  std::vector<uint8_t> coinbase;
  if (!coinbase_built({t.height, t.coinbasevalue, script_hex, commitment}, &coinbase)) return {};

  std::string txn_hex = transaction_section(coinbase, t.transactions);
  std::vector<Hash32> leaves = merkle_leaves(coinbase, t.transactions);
  lay_out_header(work.header, t, previous_hash, merkle_root(leaves), bits);

  work.height = t.height;
  work.txn_hex = std::move(txn_hex);
  work.valid = true;
  char announcement[96];
  std::snprintf(announcement, sizeof announcement, "New block %d, %d txs, target %.16s\n", work.height,
                static_cast<int>(json_array_size(t.transactions)), t.target);
  return {std::move(work), announcement};
}

BlockWork assemble_work(const std::string& template_reply, const std::string& coinbase_addr,
                        const AddressFetch& fetch_address_reply) {
  AnnouncedWork assembled = assemble_work_unannounced(template_reply, coinbase_addr, fetch_address_reply);
  std::fputs(assembled.announcement.c_str(), stdout);
  return std::move(assembled.work);
}
