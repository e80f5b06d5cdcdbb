// SPDX-License-Identifier: Apache-2.0
// OpenSSL contexts and sessions for SIP over TLS, and the profile's own certificate.
#include "sip/tls_context.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/paths.h"
#include "sip/sip_log.h"

namespace quillet::sip {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};

bool isIpAddress(const std::string& host) {
  in6_addr v6{};
  in_addr v4{};
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

SslCtxPtr newContext(const SSL_METHOD* method) {
  SslCtxPtr ctx(SSL_CTX_new(method));
  if (!ctx) return ctx;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // Connections are closed without waiting for the peer's close_notify.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
  return ctx;
}

bool useCertificate(SSL_CTX* ctx, const std::string& certFile, const std::string& keyFile,
                    std::string& error) {
  if (!keyFileIsPrivate(keyFile, error)) return false;
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    error = certFile + ": " + tlsErrorText("the certificate or its key cannot be read");
    return false;
  }
  return true;
}

// Writes `write`'s output to `path` through a temporary file created with `mode`.
template <typename WriteFn>
bool writeAtomically(const std::string& path, mode_t mode, WriteFn write, std::string& error) {
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    error = temp + ": cannot be written";
    return false;
  }
  ::fchmod(fd, mode);
  std::unique_ptr<FILE, FileClose> file(::fdopen(fd, "w"));
  if (!file) {
    ::close(fd);
    error = temp + ": cannot be written";
    return false;
  }
  const bool written = write(file.get()) && std::fflush(file.get()) == 0 && ::fsync(fd) == 0;
  file.reset();
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    error = path + ": cannot be written";
    return false;
  }
  return true;
}

}  // namespace

std::string tlsErrorText(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string verifyFailureText(SSL* ssl) {
  const long result = SSL_get_verify_result(ssl);
  if (result == X509_V_OK) return {};
  return X509_verify_cert_error_string(result);
}

bool keyFileIsPrivate(const std::string& path, std::string& error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = path + ": no such key file";
    return false;
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    error = path + ": the key file may be read by others (it must be 0600)";
    return false;
  }
  return true;
}

bool makeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath,
                               const std::string& name, std::string& error) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!key || !cert) {
    error = tlsErrorText("no key could be made");
    return false;
  }
  uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), subject);
  X509V3_CTX v3{};
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::string altName = (isIpAddress(name) ? "IP:" : "DNS:") + name;
  if (X509_EXTENSION* ext =
          X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, altName.c_str())) {
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    error = tlsErrorText("the certificate could not be signed");
    return false;
  }
  auto writeKey = [&](FILE* f) {
    return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  };
  auto writeCert = [&](FILE* f) { return PEM_write_X509(f, cert.get()) == 1; };
  return writeAtomically(keyPath, 0600, writeKey, error) &&
         writeAtomically(certPath, 0644, writeCert, error);
}

TlsContexts::TlsContexts(std::string profileDir, std::string certFile, std::string keyFile)
    : profileDir_(std::move(profileDir)),
      certFile_(std::move(certFile)),
      keyFile_(std::move(keyFile)) {}

SSL_CTX* TlsContexts::client(const TlsSettings& settings, std::string& error) {
  std::lock_guard lock(lock_);
  for (auto& [known, ctx] : clients_) {
    if (known == settings) return ctx.get();
  }
  SslCtxPtr ctx = newContext(TLS_client_method());
  if (!ctx) {
    error = tlsErrorText("no TLS context");
    return nullptr;
  }
  SSL_CTX_set_default_verify_paths(ctx.get());
  if (!settings.caFile.empty() &&
      SSL_CTX_load_verify_locations(ctx.get(), settings.caFile.c_str(), nullptr) != 1) {
    error = settings.caFile + ": " + tlsErrorText("the CA file cannot be read");
    return nullptr;
  }
  if (!settings.certFile.empty() &&
      !useCertificate(ctx.get(), settings.certFile,
                      settings.keyFile.empty() ? settings.certFile : settings.keyFile, error)) {
    return nullptr;
  }
  clients_.emplace_back(settings, std::move(ctx));
  return clients_.back().second.get();
}

SSL_CTX* TlsContexts::server(std::string& error) {
  std::lock_guard lock(lock_);
  if (server_) return server_.get();
  std::string certFile = certFile_;
  std::string keyFile = keyFile_;
  if (certFile.empty()) {
    certFile = platform::joinPath(profileDir_, "tls-cert.pem");
    keyFile = platform::joinPath(profileDir_, "tls-key.pem");
    if (::access(certFile.c_str(), R_OK) != 0 || ::access(keyFile.c_str(), R_OK) != 0) {
      char host[256] = "localhost";
      ::gethostname(host, sizeof host - 1);
      if (!makeSelfSignedCertificate(certFile, keyFile, host, error)) return nullptr;
      sipLogInfo("TLS: made a self-signed certificate for incoming connections: " + certFile);
    }
  }
  SslCtxPtr ctx = newContext(TLS_server_method());
  if (!ctx) {
    error = tlsErrorText("no TLS context");
    return nullptr;
  }
  if (!useCertificate(ctx.get(), certFile, keyFile.empty() ? certFile : keyFile, error)) {
    return nullptr;
  }
  server_ = std::move(ctx);
  return server_.get();
}

SslPtr newClientSession(SSL_CTX* ctx, int fd, const std::string& serverName, bool verify) {
  SslPtr ssl(SSL_new(ctx));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return nullptr;
  SSL_set_verify(ssl.get(), verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  if (!serverName.empty()) {
    if (isIpAddress(serverName)) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), serverName.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl.get(), serverName.c_str());
      // A SIP domain's certificate names it exactly: no wildcards.
      SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_WILDCARDS);
      SSL_set1_host(ssl.get(), serverName.c_str());
    }
  }
  SSL_set_connect_state(ssl.get());
  return ssl;
}

SslPtr newServerSession(SSL_CTX* ctx, int fd) {
  SslPtr ssl(SSL_new(ctx));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return nullptr;
  SSL_set_accept_state(ssl.get());
  return ssl;
}

}  // namespace quillet::sip
