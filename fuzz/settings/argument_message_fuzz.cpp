// SPDX-License-Identifier: Apache-2.0
// Fuzzes the control-socket message decoders (argument lists and call commands) and the
// command-line splitter: any bytes are accepted or refused without harm, and an encoded
// list decodes to itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> arguments;
  quillet::base::decodeArgumentMessage(text, "/quillet", arguments);
  std::vector<std::string> words;
  if (quillet::base::decodeCallMessage(text, words) &&
      (words.empty() || quillet::base::encodeCallMessage(words) != text)) {
    std::abort();  // a call command read back is the same message
  }
  std::vector<std::string> split = quillet::base::splitCommandLine(text);
  for (const std::string& argument : split) {
    if (argument.find('"') != std::string::npos) {
      std::abort();  // quotes are never copied
    }
  }
  std::vector<std::string> list = split;
  list.insert(list.begin(), "/quillet");
  std::vector<std::string> back;
  if (!quillet::base::decodeArgumentMessage(quillet::base::encodeArgumentMessage(list), "/x",
                                            back) ||
      (back != list && text.find('\0') == std::string::npos)) {
    std::abort();
  }
  return 0;
}
