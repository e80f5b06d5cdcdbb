// SPDX-License-Identifier: Apache-2.0
// Door control: reading the codes, matching the far end's digits, running the actions.
#include "app/door_control.h"

#include <algorithm>
#include <cstdlib>

#include "base/log.h"
#include "base/settings_store.h"
#include "platform/door_outputs.h"

namespace quillet::app {

namespace {

constexpr int32_t kMostCodes = 32;
constexpr size_t kMostCodeLength = 16;

bool isCodeDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'D');
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "gpio:CHIP:LINE[:PULSE_MS[:active-low]]" read into `pulse`.
bool readGpioAction(std::string_view text, platform::GpioPulse& pulse) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t colon = text.find(':', start);
    parts.emplace_back(text.substr(start, colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (parts.size() < 2 || parts.size() > 4 || parts[0].empty()) return false;
  const auto number = [](const std::string& s, uint32_t most, uint32_t& out) {
    if (s.empty() || s.size() > 6 || !std::all_of(s.begin(), s.end(), ::isdigit)) return false;
    out = static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10));
    return out <= most;
  };
  pulse.chip = parts[0];
  if (!number(parts[1], 4095, pulse.line)) return false;
  if (parts.size() >= 3 && !number(parts[2], 60000, pulse.pulseMs)) return false;
  if (parts.size() == 4) {
    if (parts[3] != "active-low") return false;
    pulse.activeLow = true;
  }
  return pulse.pulseMs > 0;
}

// Whether an action's text has a form runDoorAction can run.
bool isDoorAction(const std::string& action) {
  if (startsWith(action, "command:")) return !splitCommandLine(action.substr(8)).empty();
  platform::GpioPulse pulse;
  return startsWith(action, "gpio:") && readGpioAction(std::string_view(action).substr(5), pulse);
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
        word += text[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '"') {
      quoted = inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::vector<DoorCode> readDoorCodes(base::SettingsStore& store) {
  std::vector<DoorCode> codes;
  for (int32_t n = 1; n <= kMostCodes; ++n) {
    const std::string number = std::to_string(n);
    DoorCode code{n, store.readText("Door", "Code" + number),
                  store.readText("Door", "Action" + number),
                  store.readText("Door", "Contact" + number)};
    if (code.code.empty() && code.action.empty()) continue;
    if (code.code.empty() || code.code.size() > kMostCodeLength ||
        !std::all_of(code.code.begin(), code.code.end(), isCodeDigit)) {
      base::logError("Door: Code" + number + " is not 1 to 16 of the digits 0-9 and A-D; ignored");
      continue;
    }
    if (!isDoorAction(code.action)) {
      base::logError(
          "Door: Action" + number +
          " is neither \"command:PROGRAM ARG...\" nor \"gpio:CHIP:LINE[:MS[:active-low]]\"; "
          "ignored");
      continue;
    }
    codes.push_back(std::move(code));
  }
  return codes;
}

DoorControl::DoorControl(const std::vector<DoorCode>& codes,
                         const std::function<bool(const std::string&)>& isFarEnd) {
  for (const DoorCode& code : codes) {
    if (code.contact.empty() || isFarEnd(code.contact)) codes_.push_back(code);
  }
}

DoorVerdict DoorControl::digit(char digit, uint32_t nowMs, const DoorCode** accepted) {
  if (codes_.empty()) return DoorVerdict::None;
  if (!entry_.empty() && nowMs - lastDigitMs_ > kDigitGapMs) entry_.clear();
  lastDigitMs_ = nowMs;
  if (digit == '*') {
    entry_.clear();
    return DoorVerdict::None;
  }
  if (digit == '#') return entry_.empty() ? DoorVerdict::None : submit(accepted);
  entry_ += digit;
  bool longer = false;  // a code goes on beyond what was keyed so far
  for (const DoorCode& code : codes_) {
    if (code.code.size() > entry_.size() && startsWith(code.code, entry_)) longer = true;
  }
  if (!longer) return submit(accepted);
  return DoorVerdict::None;
}

DoorVerdict DoorControl::submit(const DoorCode** accepted) {
  const std::string entry = std::exchange(entry_, std::string());
  for (const DoorCode& code : codes_) {
    if (code.code == entry) {
      wrong_ = 0;
      *accepted = &code;
      return DoorVerdict::Accepted;
    }
  }
  return wrong();
}

DoorVerdict DoorControl::wrong() {
  return ++wrong_ >= kMostWrong ? DoorVerdict::TooManyWrong : DoorVerdict::Wrong;
}

bool runDoorAction(const std::string& action, std::string& error) {
  if (startsWith(action, "command:")) {
    return platform::startProgram(splitCommandLine(action.substr(8)), error);
  }
  platform::GpioPulse pulse;
  if (startsWith(action, "gpio:") && readGpioAction(std::string_view(action).substr(5), pulse)) {
    return platform::pulseGpioLine(pulse, error);
  }
  error = "not an action";
  return false;
}

}  // namespace quillet::app
