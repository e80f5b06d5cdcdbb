// SPDX-License-Identifier: Apache-2.0
// DTLS-SRTP (RFC 5763, RFC 5764) over OpenSSL: the profile's certificate with its
// fingerprint, and one handshake on the RTP port whose exported keys key SRTP.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/sdp_session.h"

namespace quillet::media {

// The certificate and key this side shows in DTLS, and the SHA-256 fingerprint of the
// certificate as SDP writes it ("AB:CD:...").
class DtlsIdentity {
 public:
  // Reads both PEM files; null with `error` set when either cannot be used.
  static std::shared_ptr<const DtlsIdentity> load(const std::string& certPath,
                                                  const std::string& keyPath, std::string& error);
  ~DtlsIdentity();
  DtlsIdentity(const DtlsIdentity&) = delete;
  DtlsIdentity& operator=(const DtlsIdentity&) = delete;

  X509* certificate() const { return cert_; }
  EVP_PKEY* key() const { return key_; }
  const std::string& fingerprint() const { return fingerprint_; }

 private:
  DtlsIdentity(X509* cert, EVP_PKEY* key);
  X509* cert_;
  EVP_PKEY* key_;
  std::string fingerprint_;
};

// The SHA-256 fingerprint of a certificate, upper-case hex pairs joined by colons.
std::string certificateFingerprint(X509* cert);

// What a datagram on the RTP port is, by its first byte (RFC 7983): DTLS (20 to 63), RTP or
// RTCP (128 to 191), a STUN message (0 to 3, with the magic cookie), or something else (ZRTP,
// TURN channels: not used here).
enum class DatagramKind { Dtls, Rtp, Stun, Other };
inline constexpr uint8_t kStunMagicCookie[4] = {0x21, 0x12, 0xA4, 0x42};  // RFC 5389
DatagramKind classifyDatagram(const uint8_t* data, size_t length);

class DtlsSession {
 public:
  enum class State { Handshaking, Done, Failed };
  using Datagrams = std::vector<std::vector<uint8_t>>;

  // `client`: this side sends the first flight (a=setup:active). `remoteFingerprint`: the
  // far end's SHA-256 fingerprint from its SDP. Null when OpenSSL refuses (logged).
  static std::unique_ptr<DtlsSession> create(std::shared_ptr<const DtlsIdentity> identity,
                                             bool client, std::string remoteFingerprint);
  ~DtlsSession();
  DtlsSession(const DtlsSession&) = delete;
  DtlsSession& operator=(const DtlsSession&) = delete;

  // The first flight (the client's hello; nothing for a server).
  Datagrams start();
  // A received DTLS datagram: what goes back.
  Datagrams receive(const uint8_t* data, size_t length);
  // Milliseconds until a flight must be sent again (-1: no timer running), and the resend.
  int32_t msUntilResend() const;
  Datagrams resend();

  State state() const { return state_; }
  bool client() const { return client_; }
  const std::string& remoteFingerprint() const { return remoteFingerprint_; }
  // Why the handshake failed (a log line).
  const std::string& failure() const { return failure_; }
  // The SRTP keys exported from the finished handshake (RFC 5764 4.2).
  const std::optional<SrtpKeys>& keys() const { return keys_; }

 private:
  DtlsSession(bool client, std::string remoteFingerprint);
  Datagrams step();
  void finish();
  Datagrams drain();

  bool client_;
  std::string remoteFingerprint_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;  // owned by ssl_
  Datagrams out_;      // what the write side produced, a datagram per write
  State state_ = State::Handshaking;
  std::string failure_;
  std::optional<SrtpKeys> keys_;

  friend int dtlsWrite(BIO* bio, const char* data, int length);
};

}  // namespace quillet::media
