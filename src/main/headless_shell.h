// The application of a headless start until the intercom application plugs in: writes
// "Quillet Run", keeps the do-not-disturb flag, handles "-exit" and closes in order.
#pragma once

#include <optional>

#include "base/application.h"

namespace quillet::main {

class HeadlessShell : public base::Application {
 public:
  explicit HeadlessShell(base::AppEnvironment& environment) : env_(environment) {}

  bool initialise() override;
  void applyArguments(const std::vector<std::string>& arguments) override;
  void requestClose() override;

 private:
  base::AppEnvironment& env_;
  bool doNotDisturb_ = false;
  bool closing_ = false;
};

// The answers of a headless run: the welcome question No, the talk-back question Yes at
// once when Intercom/AutoTalkBack is on (else left open until the call ends); any other
// question gets its cautious answer (No, Cancel, OK); informing messages are logged.
std::optional<platform::PromptAnswer> headlessPolicy(const platform::Prompt& prompt);
void logInformingPrompt(const platform::Prompt& prompt);

}  // namespace quillet::main
