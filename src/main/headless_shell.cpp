// The headless application shell and the headless answers to questions.
#include "main/headless_shell.h"

#include <strings.h>

#include "base/log.h"
#include "base/settings_store.h"

namespace quillet::main {

using platform::PromptAnswer;
using platform::PromptButtons;

bool HeadlessShell::initialise() {
  base::logInfo("Quillet Run");
  doNotDisturb_ = base::SettingsStore::global().readBool("Settings", "DoNotDisturb", false);
  return true;
}

void HeadlessShell::applyArguments(const std::vector<std::string>& arguments) {
  std::string options;
  for (size_t i = 1; i < arguments.size(); ++i) {
    // "-exit" ends the program at once and the remaining arguments are ignored.
    if (arguments[i].size() == 5 && strcasecmp(arguments[i].c_str(), "-exit") == 0) {
      requestClose();
      return;
    }
    options += (options.empty() ? "" : " ") + arguments[i];
  }
  if (!options.empty()) {
    // The call options need the intercom application, which this build does not run yet.
    base::logInfo("Command line options not applied (no call handling in this build): ", options);
  }
}

void HeadlessShell::requestClose() {
  if (closing_) {
    return;
  }
  closing_ = true;
  base::SettingsStore::global().writeBool("Settings", "DoNotDisturb", doNotDisturb_);
  env_.loop.quitAll(0);
}

std::optional<PromptAnswer> headlessPolicy(const platform::Prompt& prompt) {
  if (prompt.tag == "welcome") {
    return PromptAnswer::No;
  }
  if (prompt.tag == "talk-back") {
    if (base::SettingsStore::global().readBool("Intercom", "AutoTalkBack", false)) {
      return PromptAnswer::Yes;
    }
    return std::nullopt;  // stays open until the call ends: the call stays listen-only
  }
  base::logInfo("Question answered by the headless default: ", prompt.text);
  switch (prompt.buttons) {
    case PromptButtons::Ok:
      return PromptAnswer::Ok;
    case PromptButtons::OkCancel:
    case PromptButtons::RetryCancel:
      return PromptAnswer::Cancel;
    case PromptButtons::YesNo:
    case PromptButtons::YesNoCancel:
      return PromptAnswer::No;
  }
  return PromptAnswer::None;
}

void logInformingPrompt(const platform::Prompt& prompt) {
  std::string text = prompt.title.empty() ? prompt.text : prompt.title + ": " + prompt.text;
  if (prompt.icon == platform::PromptIcon::Error) {
    base::logError(text);
  } else {
    base::logInfo(text);
  }
}

}  // namespace quillet::main
