// SPDX-License-Identifier: Apache-2.0
// CallsPanel: the line's calls as listed while two are on, its buttons, and the main
// window's part of it (the banner and the desktop notice of a call that waits).
#include "ui/calls_panel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/desktop_notices.h"
#include "ui/main_window.h"

namespace quillet::ui {

namespace {

QString stateText(app::CallShown state) {
  switch (state) {
    case app::CallShown::Active:
      return CallsPanel::tr("Active");
    case app::CallShown::Held:
      return CallsPanel::tr("On hold");
    case app::CallShown::Waiting:
      return CallsPanel::tr("Waiting");
  }
  return {};
}

}  // namespace

CallsPanel::CallsPanel(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("callsPanel"));
  setFrameShape(QFrame::StyledPanel);
  auto* layout = new QHBoxLayout(this);
  label_ = new QLabel(this);
  label_->setObjectName(QStringLiteral("callsText"));
  label_->setTextFormat(Qt::PlainText);
  answer_ = new QPushButton(tr("Answer"), this);
  answer_->setObjectName(QStringLiteral("answerWaiting"));
  answer_->setToolTip(tr("Answer the waiting call; the current call is put on hold"));
  answer_->setAccessibleDescription(
      tr("Answers the call that waits; the call you are in is put on hold"));
  switch_ = new QPushButton(tr("Switch"), this);
  switch_->setObjectName(QStringLiteral("switchCall"));
  switch_->setToolTip(tr("Hold the active call and resume the held one"));
  switch_->setAccessibleDescription(tr("Puts the active call on hold and resumes the held one"));
  auto* buttons = new QVBoxLayout();
  buttons->addWidget(answer_);
  buttons->addWidget(switch_);
  layout->addWidget(label_, 1);
  layout->addLayout(buttons);
  connect(answer_, &QPushButton::clicked, this,
          [this] { emit commandRequested(app::kCommandAnswerWaiting); });
  connect(switch_, &QPushButton::clicked, this,
          [this] { emit commandRequested(app::kCommandSwitchCall); });
  setVisible(false);
}

void CallsPanel::showCalls(const std::vector<app::CallEntry>& calls) {
  QStringList lines;
  bool waiting = false;
  bool held = false;
  for (const app::CallEntry& call : calls) {
    lines << tr("%1 - %2").arg(QString::fromStdString(call.party), stateText(call.state));
    waiting = waiting || call.state == app::CallShown::Waiting;
    held = held || call.state == app::CallShown::Held;
  }
  label_->setText(lines.join(QLatin1Char('\n')));
  label_->setAccessibleName(lines.join(QStringLiteral(", ")));
  answer_->setVisible(waiting);
  switch_->setVisible(!waiting);
  switch_->setEnabled(held);
  setVisible(!calls.empty());
}

void MainWindow::showCalls(const std::vector<app::CallEntry>& calls) {
  auto find = [&calls](app::CallShown state) {
    const auto found =
        std::find_if(calls.begin(), calls.end(),
                     [state](const app::CallEntry& call) { return call.state == state; });
    return found != calls.end() ? QString::fromStdString(found->party) : QString();
  };
  const bool wasWaiting = !waitingCaller_.isEmpty();
  waitingCaller_ = find(app::CallShown::Waiting);
  if (!waitingCaller_.isEmpty() && !wasWaiting) {
    banner_->setText(tr("Call waiting: %1").arg(waitingCaller_));
    notices_->incomingCall(waitingCaller_, callEncryption_);
  } else if (waitingCaller_.isEmpty() && wasWaiting) {
    notices_->withdrawIncoming();
  }
  if (const QString held = find(app::CallShown::Held);
      waitingCaller_.isEmpty() && !held.isEmpty()) {
    banner_->setText(tr("On hold: %1 (Switch takes it back)").arg(held));
  }
  refuse_->setVisible(!ringingCaller_.isEmpty() || !waitingCaller_.isEmpty());
  callsPanel_->showCalls(calls);
  emit statusChanged();
}

}  // namespace quillet::ui
