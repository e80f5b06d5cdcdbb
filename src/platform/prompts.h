// SPDX-License-Identifier: Apache-2.0
// Questions and messages to the user (message boxes): the interface, the plain
// implementation that answers by a policy (headless runs) and a scripted one for tests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_loop.h"

namespace quillet::platform {

enum class PromptButtons : uint8_t { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class PromptIcon : uint8_t { None, Information, Question, Warning, Error };
enum class PromptAnswer : uint8_t { None, Ok, Cancel, Yes, No, Retry };

struct Prompt {
  std::string title;
  std::string text;
  PromptButtons buttons = PromptButtons::Ok;
  PromptIcon icon = PromptIcon::None;
  // A short stable identifier that lets a policy or test recognise a question without
  // matching its text ("welcome", "talk-back", ...); may be empty.
  std::string tag;
};

class Prompts {
 public:
  virtual ~Prompts() = default;
  // Asks and waits for the answer; the caller's loop keeps running meanwhile (nested
  // run), so calls progress while a question is open. Answers PromptAnswer::None when the
  // question was dismissed by dismissAll() or the program is closing.
  virtual PromptAnswer ask(const Prompt& prompt) = 0;
  // Shows a message that only informs (one OK button); may return before it is read.
  virtual void inform(const Prompt& prompt) = 0;
  // Closes every open question with the given answer (the program is closing).
  virtual void dismissAll(PromptAnswer answer = PromptAnswer::None) = 0;
  // Closes the open questions with this tag (the call a question was about ended); the
  // others stay open.
  virtual void dismiss(const std::string& tag, PromptAnswer answer = PromptAnswer::None) = 0;
  // Number of questions open now.
  virtual int openCount() const = 0;
};

// Headless prompts: the policy answers a question at once, or with std::nullopt leaves
// it open until dismissAll(); informing messages go to the inform sink (the log).
class PlainPrompts : public Prompts {
 public:
  using Policy = std::function<std::optional<PromptAnswer>(const Prompt&)>;
  using InformSink = std::function<void(const Prompt&)>;

  PlainPrompts(MessageLoop& loop, Policy policy, InformSink informSink);

  PromptAnswer ask(const Prompt& prompt) override;
  void inform(const Prompt& prompt) override;
  void dismissAll(PromptAnswer answer = PromptAnswer::None) override;
  void dismiss(const std::string& tag, PromptAnswer answer = PromptAnswer::None) override;
  int openCount() const override { return static_cast<int>(open_.size()); }

 private:
  struct Open {
    int level;
    std::string tag;
    std::optional<PromptAnswer> answer;
  };
  void close(Open& open, PromptAnswer answer);
  MessageLoop& loop_;
  Policy policy_;
  InformSink informSink_;
  std::vector<Open*> open_;  // innermost last
};

// Scripted prompts for tests: answers come from a queue (an empty entry leaves the
// question open until dismissAll()); every question and message is recorded.
class ScriptedPrompts : public Prompts {
 public:
  explicit ScriptedPrompts(MessageLoop& loop, PromptAnswer whenEmpty = PromptAnswer::None);

  void push(std::optional<PromptAnswer> answer) { script_.push_back(answer); }
  const std::vector<Prompt>& asked() const { return asked_; }
  const std::vector<Prompt>& informed() const { return informed_; }

  PromptAnswer ask(const Prompt& prompt) override;
  void inform(const Prompt& prompt) override;
  void dismissAll(PromptAnswer answer = PromptAnswer::None) override;
  void dismiss(const std::string& tag, PromptAnswer answer = PromptAnswer::None) override;
  int openCount() const override { return plain_.openCount(); }

 private:
  std::deque<std::optional<PromptAnswer>> script_;
  PromptAnswer whenEmpty_;
  std::vector<Prompt> asked_;
  std::vector<Prompt> informed_;
  PlainPrompts plain_;
};

}  // namespace quillet::platform
