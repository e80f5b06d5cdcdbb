// SPDX-License-Identifier: Apache-2.0
// The control socket: a Unix stream socket served on the message loop.
#include "platform/control_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/tick.h"

namespace quillet::platform {

namespace {

constexpr size_t kMaxConnections = 8;

// The socket address of a path. A path too long for sun_path gets an abstract name made
// from a hash of the path, so that deep profile folders still work.
socklen_t socketAddress(const std::string& path, sockaddr_un& address, bool& abstract) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  abstract = path.size() >= sizeof(address.sun_path);
  if (!abstract) {
    std::memcpy(address.sun_path, path.data(), path.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  }
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (char c : path) {
    hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  }
  char name[64];
  int n = std::snprintf(name + 1, sizeof name - 1, "quillet-%u-%016llx", getuid(),
                        static_cast<unsigned long long>(hash));
  name[0] = '\0';
  std::memcpy(address.sun_path, name, static_cast<size_t>(n) + 1);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + static_cast<size_t>(n) + 1);
}

bool peerIsSameUser(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == getuid();
}

void sendReply(int fd, std::string_view reply) {
  ssize_t ignored = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
}

}  // namespace

bool ControlServer::listen(const std::string& path) {
  close();
  sockaddr_un address;
  bool abstract;
  socklen_t length = socketAddress(path, address, abstract);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    return false;
  }
  if (!abstract) {
    ::unlink(path.c_str());  // a stale socket of an instance that did not end cleanly
  }
  mode_t old = ::umask(0077);
  int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length);
  ::umask(old);
  if (bound != 0 || ::listen(fd.get(), 16) != 0) {
    return false;
  }
  struct stat st {};
  inode_ = (!abstract && ::stat(path.c_str(), &st) == 0) ? st.st_ino : 0;
  path_ = abstract ? std::string() : path;
  fd_ = std::move(fd);
  return true;
}

void ControlServer::attach(MessageLoop& loop, Handler handler, size_t maxBytes) {
  loop_ = &loop;
  handler_ = std::move(handler);
  maxBytes_ = maxBytes;
  if (fd_) {
    loop_->watchFd(fd_.get(), [this] { onAccept(); });
  }
}

void ControlServer::onAccept() {
  for (;;) {
    int client = ::accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
      return;
    }
    UniqueFd owned(client);
    if (!peerIsSameUser(client)) {
      continue;  // closed at once
    }
    if (connections_.size() >= kMaxConnections) {
      finish(connections_.begin()->first, false);  // the oldest stalled sender gives way
    }
    connections_[client] = Connection{std::move(owned), std::string(), false};
    loop_->watchFd(client, [this, client] { onReadable(client); });
  }
}

void ControlServer::onReadable(int fd) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) {
    return;
  }
  Connection& connection = it->second;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      if (connection.buffer.size() + static_cast<size_t>(n) > maxBytes_) {
        connection.tooLong = true;
        connection.buffer.clear();
      } else if (!connection.tooLong) {
        connection.buffer.append(buffer, static_cast<size_t>(n));
      }
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;  // more to come
    }
    finish(fd, n == 0 && !connection.tooLong);  // end of message, or an error
    return;
  }
}

void ControlServer::finish(int fd, bool deliver) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) {
    return;
  }
  loop_->unwatchFd(fd);
  Connection connection = std::move(it->second);
  connections_.erase(it);
  if (deliver) {
    const std::string reply = handler_ ? handler_(connection.buffer) : std::string("OK");
    sendReply(fd, reply.substr(0, reply.find('\n')) + "\n");
  } else {
    sendReply(fd, "ERR\n");
  }
}

void ControlServer::close() {
  if (loop_ != nullptr) {
    for (auto& [fd, connection] : connections_) {
      loop_->unwatchFd(fd);
    }
    if (fd_) {
      loop_->unwatchFd(fd_.get());
    }
  }
  connections_.clear();
  if (fd_ && !path_.empty()) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && st.st_ino == inode_) {
      ::unlink(path_.c_str());  // only our own socket, not a successor's
    }
  }
  fd_.reset();
  path_.clear();
}

HandOverResult exchange(const std::string& path, std::string_view message, int32_t timeoutMs,
                        std::string& reply) {
  reply.clear();
  sockaddr_un address;
  bool abstract;
  socklen_t length = socketAddress(path, address, abstract);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    return HandOverResult::Failed;
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return (errno == ENOENT || errno == ECONNREFUSED) ? HandOverResult::NoInstance
                                                      : HandOverResult::Failed;
  }
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  while (!message.empty()) {
    ssize_t n = ::send(fd.get(), message.data(), message.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return HandOverResult::Failed;
    }
    message.remove_prefix(static_cast<size_t>(n));
  }
  ::shutdown(fd.get(), SHUT_WR);
  char buffer[256];
  const uint32_t start = tickMs();
  for (;;) {
    ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      reply.append(buffer, static_cast<size_t>(n));
      if (reply.find('\n') != std::string::npos || reply.size() > 4096) {
        break;
      }
      continue;
    }
    if (n < 0 && errno == EINTR && tickDiff(tickMs(), start) < timeoutMs) {
      continue;
    }
    break;
  }
  const size_t end = reply.find('\n');
  if (end == std::string::npos) {
    reply.clear();  // cut short: no reply line came
    return HandOverResult::Failed;
  }
  reply.resize(end);
  return reply == "OK" ? HandOverResult::Delivered : HandOverResult::Failed;
}

}  // namespace quillet::platform
