// SPDX-License-Identifier: Apache-2.0
// quillet-tool: subcommand dispatch, --help and the exit-status convention.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "tool.h"

namespace quillet::tool {

namespace {

struct Group {
  const char* name;
  int (*run)(const Args&);
  const char* help;
};

constexpr Group kGroups[] = {
    {"settings", runSettings, "get|set|delete|list|path ..."},
    {"sip", runSip,
     "parse [FILE|-] | uri TEXT | nameaddr TEXT | dial TEXT SERVER | digest ... | tls HOST[:PORT] "
     "| resolve URI [--transport T]"},
    {"codec", runCodec,
     "encode NAME IN.wav OUT [--bitrate N] [--frame-ms 10|20] | decode NAME IN OUT.wav"},
    {"audio", runAudio,
     "devices | play FILE.wav | record OUT.wav --seconds S | resample | agc | echo | denoise ..."},
    {"contacts", runContacts,
     "list | add NAME NUMBER [EMAIL] | delete NAME | export FILE | import FILE..."},
    {"sdp", runSdp, "offer | answer | parse | capability ..."},
    {"rtp", runRtp, "send ... IN.wav | receive ... OUT.wav"},
    {"stun", runStun, "SERVER[:PORT] [--change] [--port LOCALPORT]"},
    {"upnp", runUpnp, "map PORT [--external PORT] [--client ADDRESS]"},
    {"resolve", runResolve, "PORT [--rtp] [--private ADDRESS] [--times N]"},
    {"network-test", runNetworkTest, "[--stun-servers HOST[:PORT],...]"},
    {"page", runPage,
     "GROUP FILE.wav [--codec pcmu|pcma|g722|opus] [--payload-type N] [--caller TEXT] "
     "[--serial HEX]  (a multicast page)"},
    {"history", runHistory, "[--limit N]  (the profile's calls as JSON, newest first)"},
    {"call", runCall,
     "transfer TARGET | consult [--line N] TARGET | join | drop | page GROUP|off  (the calls "
     "of the running quillet)"},
};

void printHelp(FILE* out) {
  std::fprintf(out,
               "Usage: quillet-tool GROUP SUBCOMMAND [ARGS]\n"
               "Exit status: 0 success, 1 rejected input, 2 bad usage.\n\n"
               "Groups and their subcommands:\n");
  // One "  GROUP  SUBCOMMANDS" line each, two blanks at least between the columns: the man
  // page and the shell completion read them.
  int width = 0;
  for (const Group& group : kGroups) {
    width = std::max(width, static_cast<int>(std::strlen(group.name)));
  }
  for (const Group& group : kGroups) {
    std::fprintf(out, "  %-*s  %s\n", width, group.name, group.help);
  }
}

}  // namespace

bool parseNumber(const std::string& text, int low, int high, int& out) {
  if (text.empty() || text.size() > 6) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

int usageError(const std::string& text) {
  std::fprintf(stderr, "quillet-tool: %s\n", text.c_str());
  return kExitUsage;
}

int rejected(const std::string& text) {
  std::fprintf(stderr, "quillet-tool: %s\n", text.c_str());
  return kExitRejected;
}

}  // namespace quillet::tool

int main(int argc, char** argv) {
  using namespace quillet::tool;
  if (argc < 2) {
    printHelp(stderr);
    return kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    printHelp(stdout);
    return kExitOk;
  }
  for (const Group& group : kGroups) {
    if (std::strcmp(argv[1], group.name) == 0) {
      return group.run(Args(argv + 2, argv + argc));
    }
  }
  return usageError(std::string("unknown group '") + argv[1] + "' (try --help)");
}
