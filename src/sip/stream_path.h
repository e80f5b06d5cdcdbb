// SPDX-License-Identifier: Apache-2.0
// StreamPath: the connection-oriented side of the SIP transport. Its thread listens for
// TCP and TLS connections, opens the ones messages need (reusing an open connection to
// the same peer and transport), frames what arrives into messages for the transport's
// thread, answers keep-alive pings, and closes idle, stalled or oversized connections.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/worker_thread.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "sip/sip_target.h"
#include "sip/stream_framer.h"
#include "sip/tls_context.h"

namespace quillet::sip {

// One message as it arrived on a connection.
struct StreamMessage {
  std::string text;
  platform::SocketAddress from;
  TransportKind transport = TransportKind::Tcp;
  uint64_t connection = 0;
};

// A listening TCP socket on all interfaces (non-blocking); invalid with `error` = errno.
platform::UniqueFd listenTcp(uint16_t port, int& error);

class StreamPath : public base::WorkerThread {
 public:
  static constexpr size_t kMaxConnections = 256;
  static constexpr size_t kMaxConnectionsPerPeer = 32;
  static constexpr uint32_t kConnectTimeoutMs = 10000;  // TCP connect and TLS handshake
  static constexpr uint32_t kSilentTimeoutMs = 32000;   // an accepted connection says nothing
  static constexpr uint32_t kMessageTimeoutMs = 32000;  // a message begun is not finished
  static constexpr uint32_t kIdleTimeoutMs = 180000;    // no traffic either way
  static constexpr size_t kMaxQueuedBytes = 1 << 20;    // unsent bytes per connection

  // Told when a connection of ours fails with messages still to send, or a server's
  // certificate was refused; `fallbacks`: the texts to send another way instead (when the
  // connection could not be made at all).
  using FailureHandler = std::function<void(const SipTarget& target, const std::string& reason,
                                            bool tlsRefused, std::vector<std::string> fallbacks)>;

  explicit StreamPath(TlsContexts& tls);
  ~StreamPath() override;

  // Takes the listeners (either may be invalid: none). While the thread is stopped only.
  void listen(platform::UniqueFd tcpListener, platform::UniqueFd tlsListener);
  uint16_t tcpPort() const { return tcpPort_; }
  uint16_t tlsPort() const { return tlsPort_; }

  // Queues a message for the target: on the connection it names when that is still
  // open, else on an open connection to the same address and transport, else on a new
  // one. False when the message cannot be queued (too many connections, queue full).
  // `fallback`: what to send instead if the connection cannot be made (empty: nothing).
  bool send(const SipTarget& target, std::string_view text, const TlsSettings& tls,
            std::string fallback = {});
  // A CR LF CR LF keep-alive on the open connection to the target (none opened for it).
  void ping(const SipTarget& target);
  void setFailureHandler(FailureHandler handler) { onFailure_ = std::move(handler); }

  // Messages received since the last call; `received()` is set while some wait.
  std::vector<StreamMessage> takeReceived();
  platform::Event& received() { return received_; }

  size_t connectionCount() const;

 protected:
  void Run() override;

 private:
  struct Connection;

  Connection* findLocked(const SipTarget& target);
  Connection* openLocked(const SipTarget& target, const TlsSettings& tls);
  void acceptAll(int listener, TransportKind kind);
  // Drives one connection after poll; false: close it.
  bool service(Connection& c, short revents);
  bool finishConnect(Connection& c);
  bool handshake(Connection& c);
  bool readAll(Connection& c);
  bool writeQueued(Connection& c);
  bool deliver(Connection& c);
  bool expired(const Connection& c) const;
  void close(Connection& c, const std::string& reason);

  TlsContexts& tls_;
  platform::UniqueFd tcpListener_;
  platform::UniqueFd tlsListener_;
  std::atomic<uint16_t> tcpPort_{0};
  std::atomic<uint16_t> tlsPort_{0};
  platform::Event wake_{platform::Event::Reset::Auto};
  platform::Event received_{platform::Event::Reset::Manual};
  FailureHandler onFailure_;

  mutable std::mutex lock_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::vector<StreamMessage> inbox_;
  uint64_t nextId_ = 1;
  uint32_t lastLimitLog_ = 0;
};

}  // namespace quillet::sip
