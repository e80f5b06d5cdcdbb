// SPDX-License-Identifier: Apache-2.0
// SrtpContext: libsrtp2 set up once per process, one session per direction of a call.
#include "media/srtp_context.h"

#include <srtp2/srtp.h>

#include <climits>
#include <cstring>
#include <string>

#include "base/log.h"
#include "platform/random.h"

namespace quillet::media {

// SRTCP adds its 4-byte index to the tag.
static_assert(SRTP_MAX_TRAILER_LEN + 4 <= kSrtpMaxGrowth);

namespace {

bool initialised() {
  static const bool ok = [] {
    const srtp_err_status_t status = srtp_init();
    if (status != srtp_err_status_ok) {
      base::logError("SRTP: the library could not be set up (error " +
                     std::to_string(static_cast<int>(status)) + ")");
    }
    return status == srtp_err_status_ok;
  }();
  return ok;
}

// The suite's policies: RTP and RTCP (SRTCP of the 32-bit suite keeps the 80-bit tag).
void setPolicies(SrtpSuite suite, srtp_policy_t& policy) {
  switch (suite) {
    case SrtpSuite::AesCm128HmacSha1_80:
      srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
      srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
      break;
    case SrtpSuite::AesCm128HmacSha1_32:
      srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
      srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
      break;
    case SrtpSuite::AeadAes128Gcm:
      srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtp);
      srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtcp);
      break;
  }
}

}  // namespace

struct SrtpContext::Session {
  srtp_t handle = nullptr;
  ~Session() {
    if (handle != nullptr) srtp_dealloc(handle);
  }
};

std::string_view suiteName(SrtpSuite suite) {
  switch (suite) {
    case SrtpSuite::AesCm128HmacSha1_80:
      return "AES_CM_128_HMAC_SHA1_80";
    case SrtpSuite::AesCm128HmacSha1_32:
      return "AES_CM_128_HMAC_SHA1_32";
    case SrtpSuite::AeadAes128Gcm:
      return "AEAD_AES_128_GCM";
  }
  return "";
}

std::optional<SrtpSuite> suiteFromName(std::string_view name) {
  for (SrtpSuite suite : kSrtpSuites) {
    if (suiteName(suite) == name) return suite;
  }
  return std::nullopt;
}

size_t suiteKeyLength(SrtpSuite suite) {
  return suite == SrtpSuite::AeadAes128Gcm ? SRTP_AES_GCM_128_KEY_LEN_WSALT
                                           : SRTP_AES_ICM_128_KEY_LEN_WSALT;
}

std::vector<uint8_t> newMasterKey(SrtpSuite suite) {
  std::vector<uint8_t> key(suiteKeyLength(suite));
  platform::randomBytes(key.data(), key.size());
  return key;
}

SrtpContext::SrtpContext(SrtpSuite suite, Direction direction, std::unique_ptr<Session> session)
    : suite_(suite), direction_(direction), session_(std::move(session)) {}

SrtpContext::~SrtpContext() = default;

std::unique_ptr<SrtpContext> SrtpContext::create(SrtpSuite suite, const std::vector<uint8_t>& key,
                                                 Direction direction) {
  if (key.size() != suiteKeyLength(suite) || !initialised()) return nullptr;
  srtp_policy_t policy;
  std::memset(&policy, 0, sizeof(policy));
  setPolicies(suite, policy);
  policy.ssrc.type = direction == Direction::Send ? ssrc_any_outbound : ssrc_any_inbound;
  std::vector<uint8_t> keyCopy = key;  // libsrtp2 takes a non-const pointer
  policy.key = keyCopy.data();
  policy.window_size = 128;
  policy.allow_repeat_tx = 1;  // keep-alives and re-sent packets may repeat an index
  policy.next = nullptr;
  auto session = std::make_unique<Session>();
  const srtp_err_status_t status = srtp_create(&session->handle, &policy);
  std::memset(keyCopy.data(), 0, keyCopy.size());
  if (status != srtp_err_status_ok) {
    base::logError("SRTP: " + std::string(suiteName(suite)) + " could not be set up (error " +
                   std::to_string(static_cast<int>(status)) + ")");
    session->handle = nullptr;
    return nullptr;
  }
  return std::unique_ptr<SrtpContext>(new SrtpContext(suite, direction, std::move(session)));
}

bool SrtpContext::protectRtp(uint8_t* data, size_t& length, size_t capacity) {
  if (direction_ != Direction::Send || length > INT_MAX || capacity < length + kSrtpMaxGrowth) {
    return false;
  }
  int size = static_cast<int>(length);
  std::lock_guard lock(lock_);
  if (srtp_protect(session_->handle, data, &size) != srtp_err_status_ok) return false;
  length = static_cast<size_t>(size);
  return true;
}

bool SrtpContext::protectRtcp(uint8_t* data, size_t& length, size_t capacity) {
  if (direction_ != Direction::Send || length > INT_MAX || capacity < length + kSrtpMaxGrowth) {
    return false;
  }
  int size = static_cast<int>(length);
  std::lock_guard lock(lock_);
  if (srtp_protect_rtcp(session_->handle, data, &size) != srtp_err_status_ok) return false;
  length = static_cast<size_t>(size);
  return true;
}

bool SrtpContext::unprotectRtp(uint8_t* data, size_t& length) {
  if (direction_ != Direction::Receive || length > INT_MAX) return false;
  int size = static_cast<int>(length);
  std::lock_guard lock(lock_);
  if (srtp_unprotect(session_->handle, data, &size) != srtp_err_status_ok) return false;
  length = static_cast<size_t>(size);
  return true;
}

bool SrtpContext::unprotectRtcp(uint8_t* data, size_t& length) {
  if (direction_ != Direction::Receive || length > INT_MAX) return false;
  int size = static_cast<int>(length);
  std::lock_guard lock(lock_);
  if (srtp_unprotect_rtcp(session_->handle, data, &size) != srtp_err_status_ok) return false;
  length = static_cast<size_t>(size);
  return true;
}

}  // namespace quillet::media
