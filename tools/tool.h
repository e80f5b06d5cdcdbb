// SPDX-License-Identifier: Apache-2.0
// Shared declarations of quillet-tool: the subcommand groups and the exit statuses.
#pragma once

#include <string>
#include <vector>

namespace quillet::tool {

using Args = std::vector<std::string>;  // the arguments after the group name

constexpr int kExitOk = 0;        // success
constexpr int kExitRejected = 1;  // the input was rejected
constexpr int kExitUsage = 2;     // bad usage

// One function per subcommand group; each prints its own usage on bad arguments.
int runSettings(const Args& args);
int runSip(const Args& args);
int runSipTls(const Args& args);  // sip tls (tool_tls.cpp)
int runCodec(const Args& args);
int runAudio(const Args& args);
int runContacts(const Args& args);
int runSdp(const Args& args);
int runRtp(const Args& args);
int runAudioDevice(const Args& args);
int runStun(const Args& args);  // NAT traversal (tool_net.cpp)
int runUpnp(const Args& args);
int runResolve(const Args& args);
int runNetworkTest(const Args& args);
int runHistory(const Args& args);  // the profile's call history
int runPage(const Args& args);     // a WAV file sent as a multicast page
int runCall(const Args& args);     // the running program's call (control socket)  // audio devices,
                                   // play, record (device side of "audio")

// Reads a decimal number of at most six digits within [low, high]; false otherwise.
bool parseNumber(const std::string& text, int low, int high, int& out);

// Prints "quillet-tool: TEXT" to standard error and answers kExitUsage.
int usageError(const std::string& text);
// Prints "quillet-tool: TEXT" to standard error and answers kExitRejected.
int rejected(const std::string& text);

}  // namespace quillet::tool
