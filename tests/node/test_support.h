#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Helpers that give tests answers computed without the code under test.

using Bytes = std::vector<uint8_t>;

inline Bytes openssl_sha3_256(const Bytes& data) {
  Bytes digest(32);
  EVP_Digest(data.data(), data.size(), digest.data(), nullptr, EVP_sha3_256(), nullptr);
  return digest;
}

inline Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes from_hex(const std::string& hex) {
  long length = 0;
  unsigned char* buffer = OPENSSL_hexstr2buf(hex.c_str(), &length);
  Bytes bytes(buffer, buffer + length);
  OPENSSL_free(buffer);
  return bytes;
}

inline Bytes reversed(Bytes bytes) { return Bytes(bytes.rbegin(), bytes.rend()); }

inline std::string to_hex(const uint8_t* data, size_t n) {
  std::string hex;
  char pair[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", data[i]);
    hex += pair;
  }
  return hex;
}

inline std::string base64(const std::string& text) {
  std::vector<unsigned char> out(4 * ((text.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  return std::string(reinterpret_cast<char*>(out.data()), n);
}
