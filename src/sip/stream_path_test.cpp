// SPDX-License-Identifier: Apache-2.0
// Connections over real loopback sockets: TCP and TLS both ways on one connection,
// certificate refusal without fallback, and the limits a hostile peer meets.
#include "sip/stream_path.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/test_util.h"
#include "platform/tick.h"

namespace quillet::sip {
namespace {

using platform::testing::TempDir;

platform::SocketAddress loopback(uint16_t port) {
  return platform::SocketAddress::ipv4(htonl(INADDR_LOOPBACK), port);
}

std::vector<StreamMessage> waitFor(StreamPath& path, size_t count, int32_t timeoutMs = 5000) {
  std::vector<StreamMessage> all;
  const uint32_t start = platform::tickMs();
  while (all.size() < count && static_cast<int32_t>(platform::tickMs() - start) < timeoutMs) {
    path.received().wait(100);
    for (auto& m : path.takeReceived()) all.push_back(std::move(m));
  }
  return all;
}

const std::string kOptions = "OPTIONS sip:a@127.0.0.1 SIP/2.0\r\nCall-ID: 1\r\nl: 4\r\n\r\nbody";
const std::string kAnswer = "SIP/2.0 200 OK\r\nCall-ID: 1\r\nContent-Length: 0\r\n\r\n";

// A listening side (its own profile folder and certificate) and a calling side.
struct Pair {
  TempDir folder;
  std::string cert = folder.file("server-cert.pem");
  std::string key = folder.file("server-key.pem");
  std::unique_ptr<TlsContexts> serverTls;
  std::unique_ptr<TlsContexts> clientTls;
  std::unique_ptr<StreamPath> server;
  std::unique_ptr<StreamPath> client;

  Pair() {
    std::string error;
    EXPECT_TRUE(makeSelfSignedCertificate(cert, key, "127.0.0.1", error)) << error;
    serverTls = std::make_unique<TlsContexts>(folder.path(), cert, key);
    clientTls = std::make_unique<TlsContexts>(folder.path(), "", "");
    server = std::make_unique<StreamPath>(*serverTls);
    client = std::make_unique<StreamPath>(*clientTls);
    int listenError = 0;
    server->listen(listenTcp(0, listenError), listenTcp(0, listenError));
    server->Start();
    client->Start();
  }
  SipTarget target(TransportKind kind) const {
    SipTarget t;
    t.transport = kind;
    t.address = loopback(kind == TransportKind::Tls ? server->tlsPort() : server->tcpPort());
    return t;
  }
};

TEST(StreamPath, CarriesRequestAndAnswerOnOneConnectionOverTcpAndTls) {
  for (TransportKind kind : {TransportKind::Tcp, TransportKind::Tls}) {
    Pair pair;
    TlsSettings trustServer;
    trustServer.caFile = pair.cert;
    ASSERT_TRUE(pair.client->send(pair.target(kind), kOptions, trustServer));
    const auto requests = waitFor(*pair.server, 1);
    ASSERT_EQ(requests.size(), 1u) << viaName(kind);
    EXPECT_EQ(requests[0].text, kOptions);
    EXPECT_EQ(requests[0].transport, kind);

    // The answer goes back on the connection the request came on.
    SipTarget back;
    back.address = requests[0].from;
    back.transport = kind;
    back.connection = requests[0].connection;
    ASSERT_TRUE(pair.server->send(back, kAnswer, TlsSettings{}));
    const auto answers = waitFor(*pair.client, 1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].text, kAnswer);
    EXPECT_EQ(pair.server->connectionCount(), 1u);
    EXPECT_EQ(pair.client->connectionCount(), 1u) << viaName(kind);
  }
}

TEST(StreamPath, RefusesAServerItCannotTrustAndNeverSendsInTheClear) {
  Pair pair;
  std::mutex lock;  // what the connection thread reports
  std::string refusedReason;
  std::vector<std::string> leftOver{"not called"};
  platform::Event refused(platform::Event::Reset::Manual);
  auto onFailure = [&](const SipTarget&, const std::string& reason, bool tls,
                       std::vector<std::string> fallbacks) {
    std::lock_guard guard(lock);
    if (tls) refusedReason = reason;
    leftOver = std::move(fallbacks);
    refused.set();
  };
  auto reason = [&] {
    std::lock_guard guard(lock);
    return refusedReason;
  };
  pair.client->setFailureHandler(onFailure);
  // The system store does not hold the self-signed certificate; what was to go another
  // way if no connection could be made does not go at all.
  ASSERT_TRUE(pair.client->send(pair.target(TransportKind::Tls), kOptions, TlsSettings{}, "udp"));
  ASSERT_TRUE(refused.wait(5000));
  EXPECT_NE(reason().find("self-signed"), std::string::npos) << reason();
  {
    std::lock_guard guard(lock);
    EXPECT_TRUE(leftOver.empty());
  }
  EXPECT_TRUE(waitFor(*pair.server, 1, 500).empty());

  // Trusted, but the certificate names another host.
  TempDir other;
  std::string error;
  ASSERT_TRUE(
      makeSelfSignedCertificate(other.file("c.pem"), other.file("k.pem"), "pbx.example", error));
  Pair named;
  named.server->Stop();
  named.serverTls =
      std::make_unique<TlsContexts>(other.path(), other.file("c.pem"), other.file("k.pem"));
  named.server = std::make_unique<StreamPath>(*named.serverTls);
  int listenError = 0;
  named.server->listen(listenTcp(0, listenError), listenTcp(0, listenError));
  named.server->Start();
  {
    std::lock_guard guard(lock);
    refusedReason.clear();
    refused.reset();
  }
  named.client->setFailureHandler(onFailure);
  TlsSettings trust;
  trust.caFile = other.file("c.pem");
  ASSERT_TRUE(named.client->send(named.target(TransportKind::Tls), kOptions, trust));
  ASSERT_TRUE(refused.wait(5000));
  EXPECT_NE(reason().find("mismatch"), std::string::npos) << reason();
}

TEST(StreamPath, GivesBackWhatCouldNotBeSentWhenNoConnectionCanBeMade) {
  Pair pair;
  platform::Event failed(platform::Event::Reset::Manual);
  std::mutex lock;
  std::vector<std::string> leftOver;
  pair.client->setFailureHandler(
      [&](const SipTarget&, const std::string&, bool, std::vector<std::string> fallbacks) {
        std::lock_guard guard(lock);
        leftOver = std::move(fallbacks);
        failed.set();
      });
  SipTarget nobody = pair.target(TransportKind::Tcp);
  pair.server->Stop();  // its listener no longer accepts
  int error = 0;
  pair.server->listen(listenTcp(0, error), platform::UniqueFd());
  ASSERT_TRUE(pair.client->send(nobody, kOptions, TlsSettings{}, "as a datagram"));
  ASSERT_TRUE(failed.wait(5000));
  std::lock_guard guard(lock);
  EXPECT_EQ(leftOver, std::vector<std::string>{"as a datagram"});
}

TEST(StreamPath, AnswersAKeepAlivePingWithAPong) {
  Pair pair;
  platform::UniqueFd raw(::socket(AF_INET, SOCK_STREAM, 0));
  const platform::SocketAddress to = loopback(pair.server->tcpPort());
  ASSERT_EQ(::connect(raw.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  ASSERT_EQ(::send(raw.get(), "\r\n\r\n", 4, MSG_NOSIGNAL), 4);
  char pong[8] = {};
  timeval wait{3, 0};
  ::setsockopt(raw.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  EXPECT_EQ(::recv(raw.get(), pong, sizeof pong, 0), 2);
  EXPECT_EQ(std::string(pong), "\r\n");
  EXPECT_TRUE(waitFor(*pair.server, 1, 200).empty());  // nothing for the transport
}

TEST(StreamPath, BoundsWhatAHostilePeerCanHold) {
  Pair pair;
  // Many connections that say nothing: beyond the per-peer limit they are closed at once.
  std::vector<platform::UniqueFd> idle;
  for (int i = 0; i < 60; ++i) {
    platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    const platform::SocketAddress to = loopback(pair.server->tcpPort());
    ASSERT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    idle.push_back(std::move(fd));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(pair.server->connectionCount(), StreamPath::kMaxConnectionsPerPeer);

  // A message over 64 KiB closes its connection; the next peer is served as ever.
  idle.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  platform::UniqueFd big(::socket(AF_INET, SOCK_STREAM, 0));
  const platform::SocketAddress to = loopback(pair.server->tcpPort());
  ASSERT_EQ(::connect(big.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  const std::string huge =
      "INVITE sip:a SIP/2.0\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, 'x');
  ::send(big.get(), huge.data(), huge.size(), MSG_NOSIGNAL);
  char byte = 0;
  timeval wait{5, 0};
  ::setsockopt(big.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  // Closed by the server (a reset, as it leaves bytes unread), not timed out.
  const ssize_t closed = ::recv(big.get(), &byte, 1, 0);
  EXPECT_TRUE(closed == 0 || (closed < 0 && errno == ECONNRESET)) << closed << " " << errno;
  ASSERT_TRUE(pair.client->send(pair.target(TransportKind::Tcp), kOptions, TlsSettings{}));
  EXPECT_EQ(waitFor(*pair.server, 1).size(), 1u);
}

TEST(TlsContexts, MakesThePrivateKeyOwnerOnlyAndRefusesAKeyOthersCanRead) {
  TempDir folder;
  TlsContexts tls(folder.path(), "", "");
  std::string error;
  ASSERT_NE(tls.server(error), nullptr) << error;
  struct stat info {};
  ASSERT_EQ(::stat(folder.file("tls-key.pem").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  ::chmod(folder.file("tls-key.pem").c_str(), 0644);
  TlsContexts loose(folder.path(), folder.file("tls-cert.pem"), folder.file("tls-key.pem"));
  EXPECT_EQ(loose.server(error), nullptr);
  EXPECT_NE(error.find("0600"), std::string::npos) << error;
  TlsSettings client;
  client.certFile = folder.file("tls-cert.pem");
  client.keyFile = folder.file("tls-key.pem");
  EXPECT_EQ(loose.client(client, error), nullptr);
}

}  // namespace
}  // namespace quillet::sip
