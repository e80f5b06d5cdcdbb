// SPDX-License-Identifier: Apache-2.0
// quillet-tool sip tls HOST[:PORT] [--ca FILE] [--no-verify]: connects as a line would,
// and prints the server certificate and whether it passed verification, as JSON.
#include <netdb.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/socket.h"
#include "sip/sip_uri.h"
#include "sip/tls_context.h"
#include "tool.h"

namespace quillet::tool {

namespace {

using nlohmann::json;

std::string nameText(X509_NAME* name) {
  char text[512] = "";
  if (name) X509_NAME_oneline(name, text, sizeof text);
  return text;
}

std::string timeText(const ASN1_TIME* time) {
  tm parts{};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return {};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// A blocking TCP connection with time-outs of 5 s, to the first address that answers.
platform::UniqueFd connectTo(const std::string& host, uint16_t port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (status != 0) {
    error = ::gai_strerror(status);
    return {};
  }
  platform::UniqueFd fd;
  error = "no address answered";
  for (addrinfo* a = found; a; a = a->ai_next) {
    fd = platform::UniqueFd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, 0));
    timeval wait{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    if (fd && ::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) break;
    error = std::strerror(errno);
    fd.reset();
  }
  ::freeaddrinfo(found);
  return fd;
}

}  // namespace

int runSipTls(const Args& args) {
  if (args.size() < 2)
    return usageError("usage: quillet-tool sip tls HOST[:PORT] [--ca FILE] [--no-verify]");
  sip::TlsSettings settings;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--ca" && i + 1 < args.size()) {
      settings.caFile = args[++i];
    } else if (args[i] == "--no-verify") {
      settings.verifyServer = false;
    } else {
      return usageError("unknown option '" + args[i] + "'");
    }
  }
  const sip::HostPort target = sip::splitHostPort(args[1], 5061);
  if (target.host.empty()) return usageError("sip tls needs a host");
  json out = {{"host", target.host}, {"port", target.port}};
  std::string error;
  sip::TlsContexts contexts("", "", "");
  SSL_CTX* ctx = contexts.client(settings, error);
  if (!ctx) return rejected(error);
  const auto start = std::chrono::steady_clock::now();
  platform::UniqueFd fd = connectTo(target.host, target.port, error);
  if (!fd) {
    out["error"] = error;
    std::puts(out.dump(2).c_str());
    return kExitRejected;
  }
  sip::SslPtr ssl = sip::newClientSession(ctx, fd.get(), target.host, settings.verifyServer);
  const bool handshake = ssl && SSL_connect(ssl.get()) == 1;
  out["handshakeMs"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const std::string refused = ssl ? sip::verifyFailureText(ssl.get()) : "";
  if (!handshake && refused.empty()) out["error"] = sip::tlsErrorText("handshake failed");
  if (ssl && handshake) {
    out["protocol"] = SSL_get_version(ssl.get());
    out["cipher"] = SSL_get_cipher_name(ssl.get());
  }
  if (X509* cert = ssl ? SSL_get1_peer_certificate(ssl.get()) : nullptr) {
    out["subject"] = nameText(X509_get_subject_name(cert));
    out["issuer"] = nameText(X509_get_issuer_name(cert));
    out["notBefore"] = timeText(X509_get0_notBefore(cert));
    out["notAfter"] = timeText(X509_get0_notAfter(cert));
    X509_free(cert);
  }
  const bool verified = handshake && settings.verifyServer && refused.empty();
  out["verified"] = verified;
  if (!refused.empty()) out["verifyError"] = refused;
  if (ssl && handshake) SSL_shutdown(ssl.get());
  std::puts(out.dump(2).c_str());
  return verified || (handshake && !settings.verifyServer) ? kExitOk : kExitRejected;
}

}  // namespace quillet::tool
