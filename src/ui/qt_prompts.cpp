// SPDX-License-Identifier: Apache-2.0
// Qt message boxes for the application's questions and messages.
#include "ui/qt_prompts.h"

#include <QMessageBox>

#include "ui/qt_text.h"

namespace quillet::ui {

using platform::PromptAnswer;
using platform::PromptButtons;
using platform::PromptIcon;

namespace {

QMessageBox::StandardButtons standardButtons(PromptButtons buttons) {
  switch (buttons) {
    case PromptButtons::Ok:
      return QMessageBox::Ok;
    case PromptButtons::OkCancel:
      return QMessageBox::Ok | QMessageBox::Cancel;
    case PromptButtons::YesNo:
      return QMessageBox::Yes | QMessageBox::No;
    case PromptButtons::YesNoCancel:
      return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case PromptButtons::RetryCancel:
      return QMessageBox::Retry | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QMessageBox::Icon boxIcon(PromptIcon icon) {
  switch (icon) {
    case PromptIcon::None:
      return QMessageBox::NoIcon;
    case PromptIcon::Information:
      return QMessageBox::Information;
    case PromptIcon::Question:
      return QMessageBox::Question;
    case PromptIcon::Warning:
      return QMessageBox::Warning;
    case PromptIcon::Error:
      return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

PromptAnswer answerOf(int button) {
  switch (button) {
    case QMessageBox::Ok:
      return PromptAnswer::Ok;
    case QMessageBox::Cancel:
      return PromptAnswer::Cancel;
    case QMessageBox::Yes:
      return PromptAnswer::Yes;
    case QMessageBox::No:
      return PromptAnswer::No;
    case QMessageBox::Retry:
      return PromptAnswer::Retry;
    default:
      return PromptAnswer::None;
  }
}

}  // namespace

QtPrompts::~QtPrompts() {
  for (const QPointer<QMessageBox>& box : informing_) {
    delete box.data();
  }
}

QMessageBox* QtPrompts::makeBox(const platform::Prompt& prompt) {
  auto* box = new QMessageBox(boxIcon(prompt.icon), appText(prompt.title), appText(prompt.text),
                              standardButtons(prompt.buttons), parent_);
  box->setObjectName(prompt.tag.empty() ? QStringLiteral("prompt")
                                        : QStringLiteral("prompt-") + toQString(prompt.tag));
  return box;
}

PromptAnswer QtPrompts::ask(const platform::Prompt& prompt) {
  if (loop_.closing()) {
    return PromptAnswer::None;
  }
  QMessageBox* box = makeBox(prompt);
  Open open{box, prompt.tag, PromptAnswer::None, false};
  open_.push_back(&open);
  const int button = box->exec();
  std::erase(open_, &open);
  delete box;
  if (open.dismissed || loop_.closing()) {
    return open.dismissed ? open.dismissedWith : PromptAnswer::None;
  }
  return answerOf(button);
}

void QtPrompts::inform(const platform::Prompt& prompt) {
  QMessageBox* box = makeBox(prompt);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  std::erase_if(informing_, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
  informing_.emplace_back(box);
  box->show();
}

void QtPrompts::close(Open& open, PromptAnswer answer) {
  if (!open.dismissed) {
    open.dismissed = true;
    open.dismissedWith = answer;
    open.box->done(QMessageBox::NoButton);
  }
}

void QtPrompts::dismissAll(PromptAnswer answer) {
  for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
    close(**it, answer);
  }
}

void QtPrompts::dismiss(const std::string& tag, PromptAnswer answer) {
  for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
    if ((*it)->tag == tag) {
      close(**it, answer);
    }
  }
}

}  // namespace quillet::ui
