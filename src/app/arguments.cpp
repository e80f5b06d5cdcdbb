// SPDX-License-Identifier: Apache-2.0
// Planning the command-line options of a start or of a hand-over from a later start.
#include "app/arguments.h"

#include <strings.h>

#include <cstring>

#include "platform/utf.h"

namespace quillet::app {

namespace {

bool optionIs(const std::string& argument, const char* option) {
  return strcasecmp(argument.c_str(), option) == 0;
}

bool isLink(const std::string& argument) {
  for (const char* scheme : {"sip:", "sips:", "tel:", "callto:"}) {
    if (strncasecmp(argument.c_str(), scheme, std::strlen(scheme)) == 0) return true;
  }
  return false;
}

}  // namespace

ArgumentPlan planArguments(const std::vector<std::string>& arguments) {
  ArgumentPlan plan;
  bool show = arguments.size() < 2;
  bool hide = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (optionIs(argument, "-dial") || optionIs(argument, "-call") || optionIs(argument, "-dtmf") ||
        optionIs(argument, "-page")) {
      if (!hasValue) {
        continue;
      }
      const std::string& value = arguments[++i];
      if (optionIs(argument, "-dial")) {
        plan.steps.push_back({ArgumentAction::Dial, dialAddress(value)});
      } else if (optionIs(argument, "-call")) {
        plan.steps.push_back({ArgumentAction::Call, dialAddress(value)});
      } else if (optionIs(argument, "-page")) {
        plan.steps.push_back({ArgumentAction::Page, value});
      } else {
        plan.steps.push_back({ArgumentAction::Dtmf, value});
      }
    } else if (optionIs(argument, "-answer")) {
      plan.steps.push_back({ArgumentAction::Answer, {}});
    } else if (optionIs(argument, "-hangup")) {
      plan.steps.push_back({ArgumentAction::HangUp, {}});
    } else if (optionIs(argument, "-hold")) {
      plan.steps.push_back({ArgumentAction::Hold, {}});
    } else if (optionIs(argument, "-resume")) {
      plan.steps.push_back({ArgumentAction::Resume, {}});
    } else if (optionIs(argument, "-stoplistening")) {
      plan.steps.push_back({ArgumentAction::StopListening, {}});
    } else if (optionIs(argument, "-show")) {
      show = true;
      hide = false;
    } else if (optionIs(argument, "-hide") || optionIs(argument, "-logon")) {
      hide = true;
      show = false;
    } else if (optionIs(argument, "-exit")) {
      plan.steps.push_back({ArgumentAction::Exit, {}});
      return plan;  // the program ends; nothing else applies
    } else if (isLink(argument)) {
      plan.steps.push_back({ArgumentAction::Dial, dialAddress(argument)});
    } else {
      plan.ignored.push_back(argument);
    }
  }
  plan.window = show ? WindowChange::Show : (hide ? WindowChange::Hide : WindowChange::None);
  return plan;
}

std::string dialAddress(std::string_view value) {
  // A tel: link (RFC 3966) dials its number: parameters after ';' and the visual
  // separators go.
  if (value.size() > 4 && strncasecmp(value.data(), "tel:", 4) == 0) {
    std::string number;
    for (char c :
         value.substr(4, value.find(';') == std::string_view::npos ? std::string_view::npos
                                                                   : value.find(';') - 4)) {
      if (c != '-' && c != '.' && c != '(' && c != ')' && c != ' ') {
        number += c;
      }
    }
    return std::string(platform::utf8Cut(number, 259));
  }
  constexpr std::string_view kCallto = "callto:";
  const size_t at = value.find(kCallto);
  if (at == std::string_view::npos) {
    return std::string(value);
  }
  std::string_view rest = value.substr(at + kCallto.size());
  const size_t digit = rest.find_first_of("0123456789");
  if (digit == std::string_view::npos) {
    return {};
  }
  rest = rest.substr(digit);
  rest = rest.substr(0, rest.find('/'));
  return std::string(platform::utf8Cut(rest, 259));
}

}  // namespace quillet::app
