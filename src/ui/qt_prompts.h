// SPDX-License-Identifier: Apache-2.0
// Questions and messages as Qt message boxes. Questions are modal and run a nested event
// loop, so calls go on while one is open; messages that only inform do not wait.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/prompts.h"

namespace quillet::ui {

class QtPrompts : public platform::Prompts {
 public:
  explicit QtPrompts(platform::MessageLoop& loop) : loop_(loop) {}
  ~QtPrompts() override;

  // The window the boxes belong to (null: none).
  void setParent(QWidget* parent) { parent_ = parent; }

  platform::PromptAnswer ask(const platform::Prompt& prompt) override;
  void inform(const platform::Prompt& prompt) override;
  void dismissAll(platform::PromptAnswer answer = platform::PromptAnswer::None) override;
  void dismiss(const std::string& tag,
               platform::PromptAnswer answer = platform::PromptAnswer::None) override;
  int openCount() const override { return static_cast<int>(open_.size()); }

 private:
  struct Open {
    QMessageBox* box;
    std::string tag;
    platform::PromptAnswer dismissedWith;
    bool dismissed;
  };
  QMessageBox* makeBox(const platform::Prompt& prompt);
  void close(Open& open, platform::PromptAnswer answer);

  platform::MessageLoop& loop_;
  QPointer<QWidget> parent_;
  std::vector<Open*> open_;  // innermost last
  std::vector<QPointer<QMessageBox>> informing_;
};

}  // namespace quillet::ui
