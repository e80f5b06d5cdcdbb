// SPDX-License-Identifier: Apache-2.0
// The command-line options that drive a running Quillet (-dial, -call, -answer, -hangup, -hold,
// -resume, -dtmf, -page, -show, -hide, -logon, -exit): turned into a plan of steps the application
// carries out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillet::app {

enum class ArgumentAction {
  Dial,
  Call,
  Answer,
  HangUp,
  Hold,
  Resume,
  Dtmf,
  Page,
  StopListening,
  Exit
};

struct ArgumentStep {
  ArgumentAction action;
  std::string value;  // the address for Dial and Call, the digits for Dtmf, the group for Page

  bool operator==(const ArgumentStep&) const = default;
};

enum class WindowChange { None, Show, Hide };

struct ArgumentPlan {
  std::vector<ArgumentStep> steps;  // in command-line order; Exit, when present, is last
  WindowChange window = WindowChange::None;
  std::vector<std::string> ignored;  // arguments that are neither an option nor a link
};

// Plans an argument list (element 0: the executable path). Options compare without regard
// to case; an option's value is the next argument and an option missing its value does
// nothing. A bare sip:, sips:, tel: or callto: link (as a desktop's link handler passes it)
// is dialled like the value of -dial; other arguments are skipped and listed as ignored.
// No options at all means: show the window.
// "-exit" ends the walk: later arguments are ignored.
ArgumentPlan planArguments(const std::vector<std::string>& arguments);

// The address dialled for a -dial (or -call) value: a value containing "callto:" gives the text
// after it from its first decimal digit up to the first "/" (at most 259 characters; empty when
// there is no digit); any other value is dialled unchanged.
std::string dialAddress(std::string_view value);

}  // namespace quillet::app
