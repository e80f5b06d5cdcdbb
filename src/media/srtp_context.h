// SPDX-License-Identifier: Apache-2.0
// SrtpContext: one direction of a call's encrypted media (RFC 3711, RFC 7714) over libsrtp2,
// and the crypto suites this side can use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace quillet::media {

enum class SrtpSuite : uint8_t { AesCm128HmacSha1_80, AesCm128HmacSha1_32, AeadAes128Gcm };

// Every suite, in the order this side prefers them.
constexpr SrtpSuite kSrtpSuites[] = {SrtpSuite::AesCm128HmacSha1_80, SrtpSuite::AesCm128HmacSha1_32,
                                     SrtpSuite::AeadAes128Gcm};

// The bytes an SRTP or SRTCP packet may grow by when protected.
constexpr size_t kSrtpMaxGrowth = 148;

// The suite's name as SDP writes it ("AES_CM_128_HMAC_SHA1_80").
std::string_view suiteName(SrtpSuite suite);
std::optional<SrtpSuite> suiteFromName(std::string_view name);
// The length of the suite's master key and salt together, in bytes.
size_t suiteKeyLength(SrtpSuite suite);
// A fresh master key and salt for the suite from the system's random source.
std::vector<uint8_t> newMasterKey(SrtpSuite suite);

class SrtpContext {
 public:
  enum class Direction { Send, Receive };

  // Null when the key does not fit the suite or libsrtp2 refuses it (logged).
  static std::unique_ptr<SrtpContext> create(SrtpSuite suite, const std::vector<uint8_t>& key,
                                             Direction direction);
  ~SrtpContext();
  SrtpContext(const SrtpContext&) = delete;
  SrtpContext& operator=(const SrtpContext&) = delete;

  SrtpSuite suite() const { return suite_; }
  Direction direction() const { return direction_; }

  // Protect in place: `length` grows by the tag (and index); `capacity` must leave room for
  // kSrtpMaxGrowth. False when the packet cannot be protected.
  bool protectRtp(uint8_t* data, size_t& length, size_t capacity);
  bool protectRtcp(uint8_t* data, size_t& length, size_t capacity);
  // Check and decrypt in place: false (nothing to play) when the packet fails authentication,
  // is a replay or is too short; `length` shrinks to the plain packet.
  bool unprotectRtp(uint8_t* data, size_t& length);
  bool unprotectRtcp(uint8_t* data, size_t& length);

 private:
  struct Session;
  SrtpContext(SrtpSuite suite, Direction direction, std::unique_ptr<Session> session);

  SrtpSuite suite_;
  Direction direction_;
  std::mutex lock_;  // one packet at a time: several threads send
  std::unique_ptr<Session> session_;
};

}  // namespace quillet::media
