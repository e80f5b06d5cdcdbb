// SPDX-License-Identifier: Apache-2.0
// TLS for SIP connections (OpenSSL 3): client contexts per line configuration (system CA
// store plus an optional CA file, optional client certificate), the server context with
// the profile's certificate (a self-signed one is made on first use), and the texts of
// what went wrong.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillet::sip {

// The TLS settings of one line.
struct TlsSettings {
  std::string caFile;        // extra trusted CAs (PEM); the system store is always used
  bool verifyServer = true;  // certificate chain and host name
  std::string certFile;      // client certificate (PEM); empty: none
  std::string keyFile;       // its key; must be readable by the owner only
  bool operator==(const TlsSettings&) const = default;
};

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;

class TlsContexts {
 public:
  // `certFile`/`keyFile`: the server certificate; empty: the profile's own, made when
  // missing in `profileDir` (tls-cert.pem, tls-key.pem).
  TlsContexts(std::string profileDir, std::string certFile, std::string keyFile);

  // A client context for the settings (made once per distinct settings); null with
  // `error` set when a file cannot be used.
  SSL_CTX* client(const TlsSettings& settings, std::string& error);
  // The server context; null with `error` set when no certificate can be had.
  SSL_CTX* server(std::string& error);

 private:
  std::mutex lock_;
  std::string profileDir_;
  std::string certFile_;
  std::string keyFile_;
  std::vector<std::pair<TlsSettings, SslCtxPtr>> clients_;
  SslCtxPtr server_;
};

// A client session on a connected socket: SNI and host name checks for `serverName`
// (an IP address is checked as one), verification as the settings say.
SslPtr newClientSession(SSL_CTX* ctx, int fd, const std::string& serverName, bool verify);
SslPtr newServerSession(SSL_CTX* ctx, int fd);

// The reason of the last OpenSSL failure on this thread (emptied queue), or `fallback`.
std::string tlsErrorText(const char* fallback);
// Why the peer's certificate was refused (empty when verification passed).
std::string verifyFailureText(SSL* ssl);

// Makes a self-signed certificate (P-256, ten years, CN and subjectAltName `name`) with
// the key written owner-only. False with `error` set on failure.
bool makeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath,
                               const std::string& name, std::string& error);
// Whether a key file may be used: a regular file that group and others cannot read.
bool keyFileIsPrivate(const std::string& path, std::string& error);

}  // namespace quillet::sip
