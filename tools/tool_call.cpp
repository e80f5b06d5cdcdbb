// SPDX-License-Identifier: Apache-2.0
// quillet-tool call: asks the running quillet of the profile to act on its calls (transfer,
// a second call, join) over the profile's control socket, and reports its answer; for a
// transfer or join it waits for the outcome. `call hold` and `call resume` put the call on hold
// and take it off; `call stats` prints the running call's figures.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "base/command_line.h"
#include "platform/control_socket.h"
#include "platform/paths.h"
#include "tool.h"

namespace quillet::tool {

namespace {

constexpr int32_t kReplyTimeoutMs = 5000;
// A transfer may wait 65 s for the far end's report, and its fallback places a call.
constexpr int32_t kOutcomeWaitMs = 90000;
constexpr int32_t kOutcomePollMs = 250;

constexpr const char* kUsage =
    "usage: quillet-tool call transfer TARGET | consult [--line N] TARGET | join | drop |\n"
    "       hold | resume | stats | page GROUP|off\n"
    "  Acts on the calls of the quillet running on this profile (QUILLET_HOME or XDG).\n"
    "  transfer TARGET  hands the connected call's far end over to TARGET (a number,\n"
    "                   user@host or SIP address) and waits for the outcome\n"
    "  consult TARGET   places a second call to TARGET; the connected call waits (its far\n"
    "                   end hears nothing) and the microphone and speaker go to the new one;\n"
    "                   --line N places it on line N (settings section LineN, UseDefault=0)\n"
    "                   instead of the connected call's line\n"
    "  join             connects the far ends of the two calls to each other, and waits for\n"
    "                   the outcome; both calls end here\n"
    "  drop             ends the second call; the first one gets the microphone and speaker\n"
    "  hold             puts the connected call on hold (the far end hears the hold tone or\n"
    "                   silence, Settings/HoldTone); a far end that refuses leaves the call\n"
    "                   as it was (see the log, and \"hold\" in call stats)\n"
    "  resume           takes the call off hold\n"
    "  page GROUP|off   pages GROUP from the microphone as -page does, or ends the page\n"
    "  stats            prints the connected call's figures as one line of JSON: codec,\n"
    "                   seconds, packets_sent, packets_received, packets_expected,\n"
    "                   packets_lost, loss_percent, jitter_ms, round_trip_ms (null before the\n"
    "                   far end's first report), round_trip_reports, hold (none, here,\n"
    "                   there or both); {\"call\":false,\n"
    "                   \"reason\":...} and exit status 1 when no call is up or no quillet\n"
    "                   answers\n"
    "  Exit status 1: no quillet runs on the profile, it refused the connection or the\n"
    "  command (no call is up, a bad target), or the transfer or join failed.";

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

// After a transfer or join was taken: asks for its outcome until it is known.
int waitOutcome(const std::string& what) {
  const std::string socket = platform::profilePaths().controlSocket();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kOutcomeWaitMs);
  const std::string inProgress = std::string("ERR ") + base::kCallInProgress;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string reply;
    switch (
        platform::exchange(socket, base::encodeCallMessage({"outcome"}), kReplyTimeoutMs, reply)) {
      case platform::HandOverResult::Delivered:
        std::printf("%s: done\n", what.c_str());
        return kExitOk;
      case platform::HandOverResult::NoInstance:
        return rejected("call " + what + ": the quillet on this profile ended before the outcome");
      case platform::HandOverResult::Failed:
        break;
    }
    if (reply != inProgress) {
      return rejected("call " + what + ": " +
                      (reply.rfind("ERR ", 0) == 0 ? reply.substr(4) : noAnswerReason(socket)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kOutcomePollMs));
  }
  return rejected("call " + what + ": no outcome after " + std::to_string(kOutcomeWaitMs / 1000) +
                  " s; the program goes on with it (see its log)");
}

// A reason as the JSON that `call stats` prints without a call.
std::string noCallJson(const std::string& reason) {
  std::string quoted;
  for (const char c : reason) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
    }
    quoted += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  return R"({"call":false,"reason":")" + quoted + "\"}";
}

// The running call's figures, as the program answers them ("OK " and its JSON).
int printStats() {
  const std::string socket = platform::profilePaths().controlSocket();
  std::string reply;
  const platform::HandOverResult result =
      platform::exchange(socket, base::encodeCallMessage({"stats"}), kReplyTimeoutMs, reply);
  std::string json;
  if (result == platform::HandOverResult::NoInstance) {
    json = noCallJson("no quillet runs on this profile (nothing listens at " + socket + ")");
  } else if (reply.rfind("OK {", 0) == 0) {
    json = reply.substr(3);
  } else if (reply.rfind("ERR ", 0) == 0) {
    json = noCallJson(reply.substr(4));
  } else {
    json = noCallJson(noAnswerReason(socket));
  }
  std::printf("%s\n", json.c_str());
  return json.rfind(R"({"call":true)", 0) == 0 ? kExitOk : kExitRejected;
}

}  // namespace

int runCall(const Args& args) {
  if (args.size() == 2 && args[0] == "transfer") {
    if (args[1].empty()) {
      return usageError("call transfer: the target is empty");
    }
    const int status = send({"transfer", args[1]});
    return status == kExitOk ? waitOutcome("transfer") : status;
  }
  if ((args.size() == 2 || args.size() == 4) && args[0] == "consult") {
    const bool line = args.size() == 4;
    if (line && args[1] != "--line") {
      return usageError("call consult: unknown option '" + args[1] + "'");
    }
    const std::string& target = args.back();
    if (target.empty()) {
      return usageError("call consult: the target is empty");
    }
    return send(line ? std::vector<std::string>{"consult", target, args[2]}
                     : std::vector<std::string>{"consult", target});
  }
  if (args.size() == 1 && args[0] == "join") {
    const int status = send({"join"});
    return status == kExitOk ? waitOutcome("join") : status;
  }
  if (args.size() == 1 && args[0] == "stats") {
    return printStats();
  }
  if (args.size() == 1 && (args[0] == "drop" || args[0] == "hold" || args[0] == "resume")) {
    return send({args[0]});
  }
  if (args.size() == 2 && args[0] == "page") {
    return send({"page", args[1]});
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s\n", kUsage);
    return kExitOk;
  }
  std::fprintf(stderr, "%s\n", kUsage);
  return kExitUsage;
}

}  // namespace quillet::tool
