// SPDX-License-Identifier: Apache-2.0
// Plain and scripted prompts: unanswered questions wait in a nested loop run.
#include "platform/prompts.h"

#include <algorithm>

namespace quillet::platform {

PlainPrompts::PlainPrompts(MessageLoop& loop, Policy policy, InformSink informSink)
    : loop_(loop), policy_(std::move(policy)), informSink_(std::move(informSink)) {}

PromptAnswer PlainPrompts::ask(const Prompt& prompt) {
  std::optional<PromptAnswer> answer = policy_ ? policy_(prompt) : std::nullopt;
  if (answer) {
    return *answer;
  }
  if (loop_.closing()) {
    return PromptAnswer::None;
  }
  Open open{loop_.depth() + 1, prompt.tag, std::nullopt};
  open_.push_back(&open);
  // The nested run ends when dismissAll() answers this question or the program closes.
  loop_.run();
  std::erase(open_, &open);
  return open.answer.value_or(PromptAnswer::None);
}

void PlainPrompts::inform(const Prompt& prompt) {
  if (informSink_) {
    informSink_(prompt);
  }
}

// Each question ends its own loop level, so that closing one in the middle of the stack
// leaves the questions inside it open.
void PlainPrompts::close(Open& open, PromptAnswer answer) {
  if (!open.answer) {
    open.answer = answer;
    loop_.quitLevel(open.level, 0);
  }
}

void PlainPrompts::dismissAll(PromptAnswer answer) {
  for (Open* open : open_) {
    close(*open, answer);
  }
}

void PlainPrompts::dismiss(const std::string& tag, PromptAnswer answer) {
  for (Open* open : open_) {
    if (open->tag == tag) {
      close(*open, answer);
    }
  }
}

ScriptedPrompts::ScriptedPrompts(MessageLoop& loop, PromptAnswer whenEmpty)
    : whenEmpty_(whenEmpty),
      plain_(
          loop,
          [this](const Prompt&) -> std::optional<PromptAnswer> {
            if (script_.empty()) {
              return whenEmpty_ == PromptAnswer::None ? std::nullopt
                                                      : std::optional<PromptAnswer>(whenEmpty_);
            }
            std::optional<PromptAnswer> next = script_.front();
            script_.pop_front();
            return next;
          },
          [this](const Prompt& prompt) { informed_.push_back(prompt); }) {}

PromptAnswer ScriptedPrompts::ask(const Prompt& prompt) {
  asked_.push_back(prompt);
  return plain_.ask(prompt);
}

void ScriptedPrompts::inform(const Prompt& prompt) {
  plain_.inform(prompt);
}

void ScriptedPrompts::dismiss(const std::string& tag, PromptAnswer answer) {
  plain_.dismiss(tag, answer);
}

void ScriptedPrompts::dismissAll(PromptAnswer answer) {
  plain_.dismissAll(answer);
}

}  // namespace quillet::platform
