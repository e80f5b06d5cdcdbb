// SPDX-License-Identifier: Apache-2.0
// The profile's control socket (Unix domain, stream): the running instance listens, a
// later start (or quillet-tool) connects, sends one message and waits for the one-line
// reply: "OK" or "ERR" with the reason.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/message_loop.h"
#include "platform/socket.h"

namespace quillet::platform {

class ControlServer {
 public:
  // The whole message of one connection, on the loop thread; answers the reply line
  // without its line end ("OK", or "ERR " and the reason).
  using Handler = std::function<std::string(std::string_view message)>;

  ControlServer() = default;
  ~ControlServer() { close(); }
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds and listens at the path, replacing a stale socket file (the caller holds the
  // start-up lock, so nobody else binds it now). Only the same user may talk to it.
  bool listen(const std::string& path);
  // Serves connections on the loop (which must outlive this server); each message goes to the
  // handler, whose reply the sender gets. Messages above maxBytes are refused ("ERR\n")
  // without reaching the handler.
  void attach(MessageLoop& loop, Handler handler, size_t maxBytes);
  // Stops serving and removes the socket file when it is still ours.
  void close();
  bool listening() const { return fd_.valid(); }

 private:
  struct Connection {
    UniqueFd fd;
    std::string buffer;
    bool tooLong = false;
  };
  void onAccept();
  void onReadable(int fd);
  void finish(int fd, bool deliver);

  UniqueFd fd_;
  std::string path_;
  ino_t inode_ = 0;
  MessageLoop* loop_ = nullptr;
  Handler handler_;
  size_t maxBytes_ = 0;
  std::map<int, Connection> connections_;
};

enum class HandOverResult { Delivered, NoInstance, Failed };

// Connects to the socket, sends the message and waits (up to timeoutMs) for the reply line,
// which `reply` gets without its line end (empty when none came: a refused connection, e.g.
// another user's instance, or a time-out). Delivered when the reply is "OK"; NoInstance when
// nobody listens there (no socket file, or a stale one).
HandOverResult exchange(const std::string& path, std::string_view message, int32_t timeoutMs,
                        std::string& reply);
inline HandOverResult handOver(const std::string& path, std::string_view message,
                               int32_t timeoutMs) {
  std::string reply;
  return exchange(path, message, timeoutMs, reply);
}

}  // namespace quillet::platform
