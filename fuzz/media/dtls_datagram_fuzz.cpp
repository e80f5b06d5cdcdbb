// SPDX-License-Identifier: Apache-2.0
// Fuzz target: a datagram on the RTP port as the receive side sorts it (first byte), and
// what a DTLS session waiting for the far end's hello makes of it.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "media/dtls_session.h"

namespace {

// A throw-away certificate, made once per run.
std::shared_ptr<const quillet::media::DtlsIdentity> identity() {
  static std::shared_ptr<const quillet::media::DtlsIdentity> made = [] {
    char pattern[] = "/tmp/quillet-fuzz-dtls-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    const std::string certPath = folder + "/cert.pem", keyPath = folder + "/key.pem";
    FILE* f = std::fopen(certPath.c_str(), "w");
    PEM_write_X509(f, cert);
    std::fclose(f);
    f = std::fopen(keyPath.c_str(), "w");
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    X509_free(cert);
    EVP_PKEY_free(key);
    std::string error;
    auto loaded = quillet::media::DtlsIdentity::load(certPath, keyPath, error);
    std::remove(certPath.c_str());
    std::remove(keyPath.c_str());
    rmdir(folder.c_str());
    return loaded;
  }();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using quillet::media::DatagramKind;
  using quillet::media::DtlsSession;
  if (quillet::media::classifyDatagram(data, size) != DatagramKind::Dtls) return 0;
  auto session = DtlsSession::create(identity(), false, "AB:CD");
  if (!session) return 0;
  session->receive(data, size);
  // Without the far end's whole handshake there can be no keys.
  if (session->keys()) __builtin_trap();
  return 0;
}
