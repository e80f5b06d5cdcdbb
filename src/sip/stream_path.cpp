// SPDX-License-Identifier: Apache-2.0
// The connection side of the SIP transport: listeners, connections and their thread.
#include "sip/stream_path.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/tick.h"
#include "sip/sip_log.h"

namespace quillet::sip {

namespace {

std::string addressText(const platform::SocketAddress& address) {
  return address.toString();
}

uint16_t boundPortOf(int fd) {
  return platform::localSocketAddress(fd).port();
}

}  // namespace

platform::UniqueFd listenTcp(uint16_t port, int& error) {
  // Both families on one socket where the host has IPv6.
  platform::UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const bool v6 = fd.valid();
  if (!v6)
    fd = platform::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = errno;
    return fd;
  }
  const int yes = 1;
  const int no = 0;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in6 any6{};
  any6.sin6_family = AF_INET6;
  any6.sin6_port = htons(port);
  sockaddr_in any4{};
  any4.sin_family = AF_INET;
  any4.sin_port = htons(port);
  if (v6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
  const int bound = v6 ? ::bind(fd.get(), reinterpret_cast<sockaddr*>(&any6), sizeof any6)
                       : ::bind(fd.get(), reinterpret_cast<sockaddr*>(&any4), sizeof any4);
  if (bound != 0 || ::listen(fd.get(), 64) != 0) {
    error = errno;
    return platform::UniqueFd();
  }
  error = 0;
  return fd;
}

struct StreamPath::Connection {
  enum class State { Connecting, Handshaking, Open };

  uint64_t id = 0;
  platform::UniqueFd fd;
  SslPtr ssl;  // declared after fd: freed before the socket closes
  TransportKind kind = TransportKind::Tcp;
  platform::SocketAddress peer;
  std::string serverName;
  bool outgoing = false;
  bool verify = true;
  State state = State::Connecting;
  bool wantWrite = false;  // TLS must write before it can go on
  StreamFramer framer;
  std::string out;
  uint32_t createdMs = 0;
  uint32_t lastActivityMs = 0;
  uint32_t messageStartMs = 0;
  bool heardFrom = false;
  std::string failure;  // set when the connection is to go; why
  bool tlsRefused = false;
  std::vector<std::string> fallbacks;  // until the connection is open

  std::string peerText() const {
    return serverName.empty() ? addressText(peer) : serverName + " (" + addressText(peer) + ")";
  }
  std::string name() const {
    return std::string(viaName(kind)) + (outgoing ? " connection to " : " connection from ") +
           peerText();
  }
  SipTarget target() const {
    SipTarget t;
    t.address = peer;
    t.transport = kind;
    t.serverName = serverName;
    t.connection = id;
    return t;
  }
};

StreamPath::StreamPath(TlsContexts& tls) : tls_(tls) {}

StreamPath::~StreamPath() {
  Stop();
}

void StreamPath::listen(platform::UniqueFd tcpListener, platform::UniqueFd tlsListener) {
  tcpListener_ = std::move(tcpListener);
  tcpPort_ = tcpListener_ ? boundPortOf(tcpListener_.get()) : 0;
  tlsListener_ = std::move(tlsListener);
  tlsPort_ = tlsListener_ ? boundPortOf(tlsListener_.get()) : 0;
}

size_t StreamPath::connectionCount() const {
  std::lock_guard lock(lock_);
  return connections_.size();
}

std::vector<StreamMessage> StreamPath::takeReceived() {
  std::lock_guard lock(lock_);
  received_.reset();
  return std::exchange(inbox_, {});
}

StreamPath::Connection* StreamPath::findLocked(const SipTarget& target) {
  Connection* best = nullptr;
  for (auto& c : connections_) {
    if (!c->failure.empty() || c->kind != target.transport) continue;
    if (target.connection != 0 && c->id == target.connection) return c.get();
    if (c->peer != target.address) continue;
    if (!best || (best->state != Connection::State::Open && c->state == Connection::State::Open)) {
      best = c.get();
    }
  }
  return best;
}

StreamPath::Connection* StreamPath::openLocked(const SipTarget& target, const TlsSettings& tls) {
  if (connections_.size() >= kMaxConnections) {
    sipLogError("Cannot open a SIP connection to " + addressText(target.address) +
                ": too many connections");
    return nullptr;
  }
  auto c = std::make_unique<Connection>();
  c->kind = target.transport;
  c->peer = target.address;
  c->serverName = target.serverName;
  c->outgoing = true;
  c->verify = tls.verifyServer;
  SSL_CTX* ctx = nullptr;
  if (c->kind == TransportKind::Tls) {
    std::string error;
    ctx = tls_.client(tls, error);
    if (!ctx) {
      sipLogError("TLS: cannot connect to " + c->peerText() + ": " + error);
      return nullptr;
    }
  }
  c->fd =
      platform::UniqueFd(::socket(c->peer.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!c->fd) return nullptr;
  const int yes = 1;
  ::setsockopt(c->fd.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  if (::connect(c->fd.get(), c->peer.get(), c->peer.length()) != 0 && errno != EINPROGRESS) {
    c->failure = std::strerror(errno);
  }
  if (ctx) {
    const std::string checkedName = c->serverName.empty() ? c->peer.host() : c->serverName;
    c->ssl = newClientSession(ctx, c->fd.get(), checkedName, c->verify);
    if (!c->ssl) c->failure = tlsErrorText("no TLS session");
  }
  c->id = nextId_++;
  c->createdMs = c->lastActivityMs = platform::tickMs();
  connections_.push_back(std::move(c));
  return connections_.back().get();
}

bool StreamPath::send(const SipTarget& target, std::string_view text, const TlsSettings& tls,
                      std::string fallback) {
  {
    std::lock_guard lock(lock_);
    Connection* c = findLocked(target);
    if (!c) c = openLocked(target, tls);
    if (!c) return false;
    if (c->out.size() + text.size() > kMaxQueuedBytes) {
      sipLogError("SIP " + c->name() + ": too much waits to be sent; message dropped");
      return false;
    }
    c->out.append(text);
    if (!fallback.empty() && c->state != Connection::State::Open) {
      c->fallbacks.push_back(std::move(fallback));
    }
  }
  wake_.set();
  return true;
}

void StreamPath::ping(const SipTarget& target) {
  {
    std::lock_guard lock(lock_);
    Connection* c = findLocked(target);
    if (!c || c->state != Connection::State::Open) return;
    c->out.append("\r\n\r\n");
  }
  wake_.set();
}

void StreamPath::acceptAll(int listener, TransportKind kind) {
  for (;;) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    platform::UniqueFd fd(::accept4(listener, reinterpret_cast<sockaddr*>(&address), &size,
                                    SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) return;
    const platform::SocketAddress peer =
        platform::SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&address), size);
    std::lock_guard lock(lock_);
    const size_t fromPeer =
        static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                          [&](const auto& c) { return c->peer.sameHost(peer); }));
    if (connections_.size() >= kMaxConnections || fromPeer >= kMaxConnectionsPerPeer) {
      const uint32_t now = platform::tickMs();
      if (now - lastLimitLog_ >= 10000 || lastLimitLog_ == 0) {
        lastLimitLog_ = now | 1;
        sipLogError("SIP connection from " + addressText(peer) +
                    " refused: too many connections open");
      }
      continue;
    }
    auto c = std::make_unique<Connection>();
    c->kind = kind;
    c->peer = peer;
    c->state = Connection::State::Open;
    if (kind == TransportKind::Tls) {
      std::string error;
      SSL_CTX* ctx = tls_.server(error);
      if (!ctx) {
        sipLogError("TLS: cannot accept connections: " + error);
        continue;
      }
      c->ssl = newServerSession(ctx, fd.get());
      if (!c->ssl) continue;
      c->state = Connection::State::Handshaking;
    }
    const int yes = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    c->fd = std::move(fd);
    c->id = nextId_++;
    c->createdMs = c->lastActivityMs = platform::tickMs();
    connections_.push_back(std::move(c));
  }
}

bool StreamPath::finishConnect(Connection& c) {
  int error = 0;
  socklen_t size = sizeof error;
  ::getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
  if (error != 0) {
    c.failure = std::strerror(error);
    return false;
  }
  if (c.ssl) {
    c.state = Connection::State::Handshaking;
    return handshake(c);
  }
  c.state = Connection::State::Open;
  c.fallbacks.clear();
  return writeQueued(c);
}

bool StreamPath::handshake(Connection& c) {
  ERR_clear_error();
  const int result = SSL_do_handshake(c.ssl.get());
  if (result == 1) {
    c.state = Connection::State::Open;
    c.fallbacks.clear();
    c.wantWrite = false;
    return writeQueued(c) && readAll(c);
  }
  const int error = SSL_get_error(c.ssl.get(), result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    c.wantWrite = error == SSL_ERROR_WANT_WRITE;
    return true;
  }
  const std::string refused = c.outgoing && c.verify ? verifyFailureText(c.ssl.get()) : "";
  if (!refused.empty()) {
    c.tlsRefused = true;
    c.failure = refused;
  } else {
    c.failure = "TLS handshake failed: " + tlsErrorText("the peer closed the connection");
  }
  return false;
}

bool StreamPath::readAll(Connection& c) {
  char buffer[16384];
  for (;;) {
    ssize_t n;
    if (c.ssl) {
      ERR_clear_error();
      const int r = SSL_read(c.ssl.get(), buffer, sizeof buffer);
      if (r <= 0) {
        const int error = SSL_get_error(c.ssl.get(), r);
        if (error == SSL_ERROR_WANT_READ) break;
        if (error == SSL_ERROR_WANT_WRITE) {
          c.wantWrite = true;
          break;
        }
        if (error != SSL_ERROR_ZERO_RETURN) c.failure = tlsErrorText("closed by the peer");
        return false;
      }
      n = r;
    } else {
      n = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
      if (n < 0) c.failure = std::strerror(errno);
      if (n <= 0) return false;
    }
    c.framer.feed(std::string_view(buffer, static_cast<size_t>(n)));
    c.lastActivityMs = platform::tickMs();
    c.heardFrom = true;
    if (!deliver(c)) return false;
  }
  return true;
}

bool StreamPath::deliver(Connection& c) {
  for (;;) {
    switch (c.framer.next()) {
      case StreamFramer::Item::None:
        if (!c.framer.midMessage()) {
          c.messageStartMs = 0;
        } else if (c.messageStartMs == 0) {
          c.messageStartMs = platform::tickMs() | 1;
        }
        return true;
      case StreamFramer::Item::Message:
        inbox_.push_back(StreamMessage{c.framer.message(), c.peer, c.kind, c.id});
        received_.set();
        break;
      case StreamFramer::Item::Ping:
        c.out.append("\r\n");
        break;
      case StreamFramer::Item::Pong:
        break;
      case StreamFramer::Item::Error:
        c.failure = c.framer.error();
        return false;
    }
  }
}

bool StreamPath::writeQueued(Connection& c) {
  while (!c.out.empty()) {
    ssize_t n;
    if (c.ssl) {
      ERR_clear_error();
      const int r = SSL_write(c.ssl.get(), c.out.data(), static_cast<int>(c.out.size()));
      if (r <= 0) {
        const int error = SSL_get_error(c.ssl.get(), r);
        if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
          c.wantWrite = error == SSL_ERROR_WANT_WRITE;
          return true;
        }
        c.failure = tlsErrorText("the connection broke");
        return false;
      }
      n = r;
    } else {
      n = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
      if (n < 0) {
        c.failure = std::strerror(errno);
        return false;
      }
    }
    c.out.erase(0, static_cast<size_t>(n));
    c.lastActivityMs = platform::tickMs();
  }
  c.wantWrite = false;
  return true;
}

bool StreamPath::service(Connection& c, short revents) {
  if (!c.failure.empty()) return false;
  switch (c.state) {
    case Connection::State::Connecting:
      if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return true;
      return finishConnect(c);
    case Connection::State::Handshaking:
      if (revents == 0) return true;
      return handshake(c);
    case Connection::State::Open:
      break;
  }
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !readAll(c)) return false;
  return writeQueued(c);
}

bool StreamPath::expired(const Connection& c) const {
  const uint32_t now = platform::tickMs();
  const uint32_t age = now - c.createdMs;
  if (c.state != Connection::State::Open && age >= kConnectTimeoutMs) return true;
  if (!c.outgoing && !c.heardFrom && age >= kSilentTimeoutMs) return true;
  if (c.messageStartMs != 0 && now - c.messageStartMs >= kMessageTimeoutMs) return true;
  return now - c.lastActivityMs >= kIdleTimeoutMs;
}

void StreamPath::close(Connection& c, const std::string& reason) {
  if (c.ssl && c.state == Connection::State::Open) SSL_shutdown(c.ssl.get());
  // A connection of ours that carried something to send failed: tell the transport.
  const bool lostMessages = c.outgoing && !c.out.empty();
  if (c.tlsRefused) {
    sipLogError("TLS: the certificate of " + c.peerText() + " was refused: " + reason);
  } else if (lostMessages) {
    sipLogError("SIP " + c.name() + " failed: " + reason);
  } else if (!reason.empty()) {
    sipLogInfo("SIP " + c.name() + " closed: " + reason);
  }
  if ((c.tlsRefused || lostMessages) && onFailure_) {
    // A refused certificate never lets a message go another way.
    if (c.tlsRefused) c.fallbacks.clear();
    onFailure_(c.target(), reason, c.tlsRefused, std::move(c.fallbacks));
  }
}

void StreamPath::Run() {
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  while (!stopRequested()) {
    fds.clear();
    ids.clear();
    fds.push_back({stopEvent().fd(), POLLIN, 0});
    fds.push_back({wake_.fd(), POLLIN, 0});
    fds.push_back({tcpListener_.get(), POLLIN, 0});
    fds.push_back({tlsListener_.get(), POLLIN, 0});
    {
      std::lock_guard lock(lock_);
      for (const auto& c : connections_) {
        short events = POLLIN;
        if (c->state == Connection::State::Connecting || c->wantWrite ||
            (c->state == Connection::State::Open && !c->out.empty())) {
          events |= POLLOUT;
        }
        fds.push_back({c->fd.get(), events, 0});
        ids.push_back(c->id);
      }
    }
    if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) break;
    if (fds[1].revents != 0) wake_.wait(0);
    if (fds[2].revents != 0) acceptAll(tcpListener_.get(), TransportKind::Tcp);
    if (fds[3].revents != 0) acceptAll(tlsListener_.get(), TransportKind::Tls);

    std::vector<std::unique_ptr<Connection>> gone;
    {
      std::lock_guard lock(lock_);
      for (auto& c : connections_) {
        const auto at = std::find(ids.begin(), ids.end(), c->id);
        // A connection opened since the poll waits for the next one (the wake event).
        const short revents = at == ids.end() ? 0 : fds[4 + (at - ids.begin())].revents;
        const bool alive = service(*c, revents) && c->failure.empty();
        if (alive && !expired(*c)) continue;
        if (alive) c->failure = c->state == Connection::State::Open ? "no traffic" : "timed out";
        gone.push_back(std::move(c));
      }
      std::erase(connections_, nullptr);
    }
    for (auto& c : gone) close(*c, c->failure);
  }
  std::lock_guard lock(lock_);
  connections_.clear();
}

}  // namespace quillet::sip
