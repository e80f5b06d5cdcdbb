// SPDX-License-Identifier: Apache-2.0
// DtlsIdentity and DtlsSession: OpenSSL's DTLS over memory, datagram by datagram, with the
// far end's certificate checked against the fingerprint its SDP gave.
#include "media/dtls_session.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/srtp.h>
#include <openssl/x509.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/log.h"

namespace quillet::media {

namespace {

constexpr long kLinkMtu = 1200;  // leaves room for IP, UDP and tunnels

std::string lastError(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

long dtlsControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_DGRAM_QUERY_MTU:
    case BIO_CTRL_DGRAM_GET_FALLBACK_MTU:
      return kLinkMtu;
    default:
      return 0;
  }
}

int dtlsCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// The SRTP suite of a DTLS-SRTP protection profile.
std::optional<SrtpSuite> suiteOfProfile(unsigned long id) {
  switch (id) {
    case SRTP_AES128_CM_SHA1_80:
      return SrtpSuite::AesCm128HmacSha1_80;
    case SRTP_AES128_CM_SHA1_32:
      return SrtpSuite::AesCm128HmacSha1_32;
    case SRTP_AEAD_AES_128_GCM:
      return SrtpSuite::AeadAes128Gcm;
    default:
      return std::nullopt;
  }
}

}  // namespace

// The write side of the session: every record flight OpenSSL writes is one datagram.
int dtlsWrite(BIO* bio, const char* data, int length) {
  auto* session = static_cast<DtlsSession*>(BIO_get_data(bio));
  if (session == nullptr || length < 0) return -1;
  session->out_.emplace_back(reinterpret_cast<const uint8_t*>(data),
                             reinterpret_cast<const uint8_t*>(data) + length);
  return length;
}

namespace {

BIO_METHOD* writeMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quillet-dtls");
    BIO_meth_set_write(m, dtlsWrite);
    BIO_meth_set_ctrl(m, dtlsControl);
    BIO_meth_set_create(m, dtlsCreate);
    return m;
  }();
  return method;
}

}  // namespace

std::string certificateFingerprint(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (cert == nullptr || X509_digest(cert, EVP_sha256(), digest, &length) != 1) return {};
  std::string text;
  char pair[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof(pair), i == 0 ? "%02X" : ":%02X", digest[i]);
    text += pair;
  }
  return text;
}

DatagramKind classifyDatagram(const uint8_t* data, size_t length) {
  if (length == 0) return DatagramKind::Other;
  if (data[0] >= 20 && data[0] <= 63) return DatagramKind::Dtls;
  if (data[0] >= 128 && data[0] <= 191) return DatagramKind::Rtp;
  if (data[0] <= 3 && length >= 20 && std::memcmp(data + 4, kStunMagicCookie, 4) == 0) {
    return DatagramKind::Stun;
  }
  return DatagramKind::Other;
}

DtlsIdentity::DtlsIdentity(X509* cert, EVP_PKEY* key)
    : cert_(cert), key_(key), fingerprint_(certificateFingerprint(cert)) {}

DtlsIdentity::~DtlsIdentity() {
  X509_free(cert_);
  EVP_PKEY_free(key_);
}

std::shared_ptr<const DtlsIdentity> DtlsIdentity::load(const std::string& certPath,
                                                       const std::string& keyPath,
                                                       std::string& error) {
  FILE* certFile = std::fopen(certPath.c_str(), "r");
  X509* cert = certFile != nullptr ? PEM_read_X509(certFile, nullptr, nullptr, nullptr) : nullptr;
  if (certFile != nullptr) std::fclose(certFile);
  FILE* keyFile = std::fopen(keyPath.c_str(), "r");
  EVP_PKEY* key =
      keyFile != nullptr ? PEM_read_PrivateKey(keyFile, nullptr, nullptr, nullptr) : nullptr;
  if (keyFile != nullptr) std::fclose(keyFile);
  if (cert == nullptr || key == nullptr || X509_check_private_key(cert, key) != 1) {
    error = (cert == nullptr ? certPath : keyPath) + ": " + lastError("cannot be used");
    X509_free(cert);
    EVP_PKEY_free(key);
    return nullptr;
  }
  return std::shared_ptr<const DtlsIdentity>(new DtlsIdentity(cert, key));
}

DtlsSession::DtlsSession(bool client, std::string remoteFingerprint)
    : client_(client), remoteFingerprint_(std::move(remoteFingerprint)) {}

DtlsSession::~DtlsSession() {
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
}

std::unique_ptr<DtlsSession> DtlsSession::create(std::shared_ptr<const DtlsIdentity> identity,
                                                 bool client, std::string remoteFingerprint) {
  if (!identity) return nullptr;
  std::unique_ptr<DtlsSession> session(new DtlsSession(client, std::move(remoteFingerprint)));
  SSL_CTX* ctx = SSL_CTX_new(DTLS_method());
  session->ctx_ = ctx;
  // The far end's certificate is self-signed: it is checked against its fingerprint instead
  // of a chain, once the handshake is done.
  const bool ready =
      ctx != nullptr && SSL_CTX_set_min_proto_version(ctx, DTLS1_2_VERSION) == 1 &&
      SSL_CTX_use_certificate(ctx, identity->certificate()) == 1 &&
      SSL_CTX_use_PrivateKey(ctx, identity->key()) == 1 &&
      SSL_CTX_set_tlsext_use_srtp(
          ctx, "SRTP_AEAD_AES_128_GCM:SRTP_AES128_CM_SHA1_80:SRTP_AES128_CM_SHA1_32") == 0;
  if (!ready) {
    base::logError("DTLS: " + lastError("no context could be made"));
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                     [](int, X509_STORE_CTX*) { return 1; });
  SSL_CTX_set_options(ctx, SSL_OP_NO_QUERY_MTU);
  session->ssl_ = SSL_new(ctx);
  if (session->ssl_ == nullptr) {
    base::logError("DTLS: " + lastError("no session could be made"));
    return nullptr;
  }
  session->in_ = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(writeMethod());
  BIO_set_data(out, session.get());
  BIO_set_mem_eof_return(session->in_, -1);
  SSL_set_bio(session->ssl_, session->in_, out);
  SSL_set_mtu(session->ssl_, kLinkMtu);
  DTLS_set_link_mtu(session->ssl_, kLinkMtu);
  if (client) {
    SSL_set_connect_state(session->ssl_);
  } else {
    SSL_set_accept_state(session->ssl_);
  }
  return session;
}

DtlsSession::Datagrams DtlsSession::drain() {
  Datagrams out;
  out.swap(out_);
  return out;
}

DtlsSession::Datagrams DtlsSession::step() {
  if (state_ != State::Handshaking) return drain();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    finish();
  } else {
    const int why = SSL_get_error(ssl_, result);
    if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
      state_ = State::Failed;
      failure_ = "DTLS: the handshake failed (" + lastError("no reason given") + ")";
    }
  }
  return drain();
}

void DtlsSession::finish() {
  X509* peer = SSL_get1_peer_certificate(ssl_);
  const std::string seen = certificateFingerprint(peer);
  X509_free(peer);
  if (seen.empty() || strcasecmp(seen.c_str(), remoteFingerprint_.c_str()) != 0) {
    state_ = State::Failed;
    failure_ = "DTLS: the far end's certificate does not match its fingerprint";
    return;
  }
  const SRTP_PROTECTION_PROFILE* profile = SSL_get_selected_srtp_profile(ssl_);
  const std::optional<SrtpSuite> suite =
      profile != nullptr ? suiteOfProfile(profile->id) : std::nullopt;
  if (!suite) {
    state_ = State::Failed;
    failure_ = "DTLS: the far end agreed to no SRTP protection profile";
    return;
  }
  // client key, server key, client salt, server salt (RFC 5764 4.2).
  const size_t keyLength = 16;
  const size_t saltLength = suiteKeyLength(*suite) - keyLength;
  std::vector<uint8_t> material(2 * (keyLength + saltLength));
  if (SSL_export_keying_material(ssl_, material.data(), material.size(), "EXTRACTOR-dtls_srtp", 19,
                                 nullptr, 0, 0) != 1) {
    state_ = State::Failed;
    failure_ = "DTLS: " + lastError("no keys could be exported");
    return;
  }
  auto keyOf = [&](bool ofClient) {
    std::vector<uint8_t> key(material.begin() + (ofClient ? 0 : keyLength),
                             material.begin() + (ofClient ? keyLength : 2 * keyLength));
    const auto salt = material.begin() + 2 * keyLength + (ofClient ? 0 : saltLength);
    key.insert(key.end(), salt, salt + static_cast<std::ptrdiff_t>(saltLength));
    return key;
  };
  keys_ = SrtpKeys{*suite, keyOf(client_), keyOf(!client_)};
  std::fill(material.begin(), material.end(), 0);
  state_ = State::Done;
}

DtlsSession::Datagrams DtlsSession::start() {
  return client_ ? step() : Datagrams{};
}

DtlsSession::Datagrams DtlsSession::receive(const uint8_t* data, size_t length) {
  if (length == 0 || length > INT_MAX) return {};
  BIO_write(in_, data, static_cast<int>(length));
  if (state_ == State::Handshaking) return step();
  // After the handshake: a resent last flight of the far end gets ours again; what it
  // reads (alerts, application data) is not used.
  uint8_t sink[256];
  SSL_read(ssl_, sink, sizeof(sink));
  ERR_clear_error();
  return drain();
}

int32_t DtlsSession::msUntilResend() const {
  timeval wait{};
  if (state_ != State::Handshaking || DTLSv1_get_timeout(ssl_, &wait) != 1) return -1;
  return static_cast<int32_t>(wait.tv_sec * 1000 + wait.tv_usec / 1000);
}

DtlsSession::Datagrams DtlsSession::resend() {
  if (state_ == State::Handshaking) DTLSv1_handle_timeout(ssl_);
  return drain();
}

}  // namespace quillet::media
