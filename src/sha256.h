// sha256.h: SHA-256 (FIPS 180-4) and HMAC-SHA-256 (RFC 2104).
//
// Used to sign the session identifiers and to compare passwords without
// leaking their content through timing. A small self-contained version
// keeps the statically linked executable quick to start; it is checked
// against the FIPS examples and the RFC 4231 test vectors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using tDigest = std::array<uint8_t, 32>;

// Incremental hashing: update() any number of times, then digest() once.
class Sha256 {
 public:
  Sha256();
  void update(std::string_view data);
  tDigest digest();

 private:
  void block(const uint8_t* p);
  uint32_t h_[8];
  uint8_t buf_[64];
  size_t used_ = 0;     // bytes waiting in buf_
  uint64_t total_ = 0;  // message length in bytes
};

tDigest sha256(std::string_view data);
tDigest hmacSha256(std::string_view key, std::string_view data);

// Lower-case hexadecimal, two digits per byte.
std::string toHex(const uint8_t* data, size_t len);
inline std::string toHex(const tDigest& d) { return toHex(d.data(), d.size()); }

// Equality whose running time depends only on the lengths, not on where
// the strings differ.
bool constantTimeEqual(std::string_view a, std::string_view b);
