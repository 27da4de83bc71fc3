#pragma once

#include <jansson.h>

#include <cstdlib>
#include <string>

#include "node/json_doc.h"

// Builds getblocktemplate replies from a plausible base template, so each test
// states only the members it is about.
class TemplateBuilder {
 public:
  TemplateBuilder()
      : result_(json_pack("{s:i, s:i, s:s, s:s, s:I, s:i, s:s, s:[]}",  //
                          "version", 0x20000000, "height", 500000,             //
                          "previousblockhash",
                          "000000000000000000036b0e6c3a5f7e4a5b9c8d7e6f5a4b3c2d1e0f1a2b3c4d",  //
                          "target",
                          "00000000ffff0000000000000000000000000000000000000000000000000000",  //
                          "coinbasevalue", static_cast<json_int_t>(5000000000LL),             //
                          "curtime", 1700000000, "bits", "1d00ffff", "transactions")) {}

  TemplateBuilder& set(const char* key, json_t* value) {
    json_object_set_new(result_.get(), key, value);
    return *this;
  }
  TemplateBuilder& set(const char* key, const char* text) { return set(key, json_string(text)); }
  TemplateBuilder& set(const char* key, json_int_t number) { return set(key, json_integer(number)); }
  TemplateBuilder& erase(const char* key) {
    json_object_del(result_.get(), key);
    return *this;
  }
  // nullptr leaves the member out.
  TemplateBuilder& add_tx(const char* txid, const char* data) {
    json_t* tx = json_object();
    if (txid != nullptr) json_object_set_new(tx, "txid", json_string(txid));
    if (data != nullptr) json_object_set_new(tx, "data", json_string(data));
    json_array_append_new(json_object_get(result_.get(), "transactions"), tx);
    return *this;
  }

  std::string reply() const {
    const JsonDoc doc(json_pack("{s:O, s:n, s:i}", "result", result_.get(), "error", "id", 1));
    char* text = json_dumps(doc.get(), JSON_COMPACT);
    std::string reply = text;
    std::free(text);
    return reply;
  }

 private:
  JsonDoc result_;
};
