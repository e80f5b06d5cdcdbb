// SPDX-License-Identifier: Apache-2.0
// Reading the auto-answer forms of an INVITE and writing those of an intercom INVITE.
#include "sip/auto_answer.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "base/text_builder.h"

namespace quillet::sip {

namespace {

constexpr HeaderName kAnswerMode{"Answer-Mode"};
constexpr HeaderName kPrivAnswerMode{"Priv-Answer-Mode"};
constexpr HeaderName kCallInfo{"Call-Info"};
constexpr HeaderName kAlertInfo{"Alert-Info"};

std::string_view trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

struct Element {
  std::string_view value;  // the token or <uri> before the parameters
  std::vector<std::pair<std::string_view, std::string_view>> params;

  std::optional<std::string_view> param(std::string_view name) const {
    for (const auto& [key, text] : params) {
      if (equalsNoCase(key, name)) return text;
    }
    return std::nullopt;
  }
};

// "<uri>;a=b;c" or "token;a=b": the parameters start after the bracketed URI.
Element splitElement(std::string_view text) {
  Element element;
  text = trim(text);
  size_t cut = 0;
  if (!text.empty() && text.front() == '<') {
    const size_t close = text.find('>');
    cut = close == std::string_view::npos ? text.size() : close + 1;
  }
  const size_t semicolon = text.find(';', cut);
  element.value = trim(text.substr(0, semicolon));
  std::string_view rest =
      semicolon == std::string_view::npos ? std::string_view{} : text.substr(semicolon + 1);
  while (!rest.empty()) {
    const size_t next = rest.find(';');
    const std::string_view item = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
    const size_t equals = item.find('=');
    std::string_view name = trim(item.substr(0, equals));
    std::string_view value =
        equals == std::string_view::npos ? std::string_view{} : trim(item.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (!name.empty()) element.params.emplace_back(name, value);
  }
  return element;
}

// A delay in whole seconds; nullopt unless the text starts with a digit.
std::optional<int32_t> seconds(std::optional<std::string_view> text) {
  if (!text || text->empty() || (*text)[0] < '0' || (*text)[0] > '9') return std::nullopt;
  return std::clamp<int32_t>(decimalValue(*text), 0, kMaxAnswerDelaySeconds);
}

// "Auto" / "Manual" with ";require", as Answer-Mode and Priv-Answer-Mode carry them.
void readMode(const SipMessage& invite, const HeaderName& name, AnswerMode& mode, bool& required) {
  for (const std::string& text : invite.headerElements(name)) {
    const Element element = splitElement(text);
    if (equalsNoCase(element.value, "Auto")) {
      mode = AnswerMode::Auto;
    } else if (equalsNoCase(element.value, "Manual")) {
      mode = AnswerMode::Manual;
    } else {
      continue;  // an unknown mode is ignored
    }
    required = element.param("require").has_value();
    return;
  }
}

bool isAutoAnswerInfo(std::string_view info) {
  return equalsNoCase(info, "alert-autoanswer") || equalsNoCase(info, "intercom") ||
         equalsNoCase(info, "auto-answer") || equalsNoCase(info, "autoanswer");
}

// Alert-Info texts without a URI that some PBXs send.
bool isAutoAnswerText(std::string_view value) {
  return equalsNoCase(value, "Ring Answer") || equalsNoCase(value, "auto answer") ||
         equalsNoCase(value, "autoanswer");
}

}  // namespace

AutoAnswerRequest readAutoAnswer(const SipMessage& invite) {
  AutoAnswerRequest request;
  readMode(invite, kAnswerMode, request.mode, request.required);
  readMode(invite, kPrivAnswerMode, request.privMode, request.privRequired);

  // Call-Info and Alert-Info only ask for auto-answer; an Answer-Mode given beside them
  // decides the mode, they still give the delay.
  bool asked = false;
  std::optional<int32_t> delay;
  for (const std::string& text : invite.headerElements(kCallInfo)) {
    const Element element = splitElement(text);
    if (const auto after = seconds(element.param("answer-after"))) {
      asked = true;
      delay = delay.value_or(*after);
    }
  }
  for (const std::string& text : invite.headerElements(kAlertInfo)) {
    const Element element = splitElement(text);
    const auto info = element.param("info");
    const auto after = seconds(element.param("delay"));
    if ((info && isAutoAnswerInfo(*info)) || after || isAutoAnswerText(element.value)) {
      asked = true;
      if (after) delay = delay.value_or(*after);
    }
  }
  if (asked && request.mode == AnswerMode::None) request.mode = AnswerMode::Auto;
  request.delaySeconds = delay.value_or(0);
  return request;
}

uint32_t parseAnswerHeaders(std::string_view choice, std::string* unknown) {
  uint32_t headers = 0;
  while (!choice.empty()) {
    const size_t comma = choice.find(',');
    const std::string_view name = trim(choice.substr(0, comma));
    choice = comma == std::string_view::npos ? std::string_view{} : choice.substr(comma + 1);
    if (equalsNoCase(name, "Answer-Mode")) {
      headers |= kAnswerModeHeader;
    } else if (equalsNoCase(name, "Call-Info")) {
      headers |= kCallInfoHeader;
    } else if (equalsNoCase(name, "Alert-Info")) {
      headers |= kAlertInfoHeader;
    } else if (!name.empty() && unknown != nullptr) {
      if (!unknown->empty()) unknown->append(", ");
      unknown->append(name);
    }
  }
  return headers == 0 ? kAnswerModeHeader : headers;
}

std::string answerHeaderLines(uint32_t headers, std::string_view host) {
  base::TextBuilder text;
  if ((headers & kAnswerModeHeader) != 0) text.Append("Answer-Mode: Auto\r\n");
  if ((headers & kCallInfoHeader) != 0) {
    text.AppendFormat("Call-Info: <sip:%s>;answer-after=0\r\n", host);
  }
  if ((headers & kAlertInfoHeader) != 0) {
    text.AppendFormat("Alert-Info: <http://%s>;info=alert-autoanswer\r\n", host);
  }
  return text.take();
}

}  // namespace quillet::sip
