// quillet-tool call: asks the running quillet of the profile to act on its call (transfer,
// join) over the profile's control socket, and reports its answer.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/command_line.h"
#include "platform/control_socket.h"
#include "platform/paths.h"
#include "tool.h"

namespace quillet::tool {

namespace {

constexpr int32_t kReplyTimeoutMs = 5000;

constexpr const char* kUsage =
    "usage: quillet-tool call transfer TARGET | join\n"
    "  Acts on the call of the quillet running on this profile (QUILLET_HOME or XDG).\n"
    "  transfer TARGET  hands the connected call's far end over to TARGET (a number,\n"
    "                   user@host or SIP address); the outcome is in the program's log\n"
    "  join             joins the connected call with a second call on the line\n"
    "  Exit status 1: no quillet runs on the profile, it refused the connection, or it\n"
    "  refused the command (no call is up, a bad target).";

// Why a connection was refused or not answered: another user's socket is the usual case.
std::string noAnswerReason(const std::string& socket) {
  struct stat st {};
  if (::stat(socket.c_str(), &st) != 0 ? errno == EACCES : ::access(socket.c_str(), W_OK) != 0) {
    return "the control socket of this profile is not yours to use (permission denied: " + socket +
           "); it belongs to another user";
  }
  if (st.st_uid != ::getuid()) {
    return "the quillet on this profile belongs to another user (uid " + std::to_string(st.st_uid) +
           ") and refused the connection (" + socket + ")";
  }
  return "the quillet on this profile refused the connection or did not answer (" + socket + ")";
}

int send(const std::vector<std::string>& words) {
  const std::string socket = platform::profilePaths().controlSocket();
  std::string reply;
  switch (platform::exchange(socket, base::encodeCallMessage(words), kReplyTimeoutMs, reply)) {
    case platform::HandOverResult::Delivered:
      return kExitOk;
    case platform::HandOverResult::NoInstance:
      return rejected("no quillet runs on this profile (nothing listens at " + socket + ")");
    case platform::HandOverResult::Failed:
      break;
  }
  if (reply.rfind("ERR ", 0) == 0) {
    return rejected("call " + words.front() + ": " + reply.substr(4));
  }
  return rejected(noAnswerReason(socket));
}

}  // namespace

int runCall(const Args& args) {
  if (args.size() == 2 && args[0] == "transfer") {
    if (args[1].empty()) {
      return usageError("call transfer: the target is empty");
    }
    return send({"transfer", args[1]});
  }
  if (args.size() == 1 && args[0] == "join") {
    return send({"join"});
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s\n", kUsage);
    return kExitOk;
  }
  std::fprintf(stderr, "%s\n", kUsage);
  return kExitUsage;
}

}  // namespace quillet::tool
