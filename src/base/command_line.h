// SPDX-License-Identifier: Apache-2.0
// Splitting a command line into arguments, the argument list a program start hands to the
// running instance, and the call commands quillet-tool sends it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillet::base {

// Splits a command line: characters 9 to 13 and blanks separate arguments outside quotes;
// a double quote switches quoting on or off and is not copied; inside quotes blanks belong
// to the argument. `""` gives an empty argument.
std::vector<std::string> splitCommandLine(std::string_view text);

// The message a start sends to the running instance of its profile: a marker line, then
// the arguments each ended by a NUL byte (element 0: the executable path).
std::string encodeArgumentMessage(const std::vector<std::string>& arguments);
// Reads such a message; any other text is taken as a command line (one line of options,
// as a script might send it) and split as above, with `executable` as element 0.
// Answers false for a message that is not acceptable (over the size limit, bad marker
// form).
bool decodeArgumentMessage(std::string_view message, const std::string& executable,
                           std::vector<std::string>& arguments);

// A call command for the running instance (quillet-tool call ...): its own marker line,
// then the words each ended by a NUL byte ("transfer", "sip:bob@example.com").
std::string encodeCallMessage(const std::vector<std::string>& words);
// Answers false when the message is not a call command or is malformed; `words` then holds
// nothing. An empty word list is malformed.
bool decodeCallMessage(std::string_view message, std::vector<std::string>& words);
bool isCallMessage(std::string_view message);
// The refusal of the call command "outcome" while the transfer or join asked before is
// still going on ("ERR in progress").
constexpr const char* kCallInProgress = "in progress";

constexpr size_t kMaxArgumentMessage = 64 * 1024;

}  // namespace quillet::base
