// SPDX-License-Identifier: Apache-2.0
// MainWindow: the status line the tray shows, and the voicemail indicator that calls the
// voicemail when pressed.
#include <QPushButton>

#include "ui/main_window.h"

namespace quillet::ui {

QWidget* MainWindow::makeVoicemailIndicator(QWidget* parent) {
  voicemail_ = new QPushButton(parent);
  voicemail_->setObjectName(QStringLiteral("voicemail"));
  voicemail_->setFlat(true);
  QFont bold = voicemail_->font();
  bold.setBold(true);
  voicemail_->setFont(bold);
  voicemail_->setIcon(QIcon::fromTheme(QStringLiteral("mail-unread")));
  voicemail_->setToolTip(tr("Call the voicemail"));
  voicemail_->setVisible(false);
  connect(voicemail_, &QPushButton::clicked, this, [this] { runCommand(app::kCommandVoicemail); });
  return voicemail_;
}

void MainWindow::showVoicemail(bool waiting, int32_t newMessages) {
  voicemailWaiting_ = waiting;
  voicemailNew_ = newMessages;
  if (newMessages > 0) {
    voicemail_->setText(newMessages == 1 ? tr("1 new voicemail message")
                                         : tr("%1 new voicemail messages").arg(newMessages));
  } else {
    voicemail_->setText(tr("Voicemail waiting"));
  }
  voicemail_->setVisible(waiting);
  emit statusChanged();
}

QString MainWindow::statusText() const {
  const QString now = state();
  QString shown = tr("idle");
  if (now == QStringLiteral("in a call")) {
    shown = tr("in a call");
  } else if (now == QStringLiteral("ringing")) {
    shown = tr("ringing");
  } else if (now == QStringLiteral("Do Not Disturb")) {
    shown = tr("Do Not Disturb");
  }
  const bool callOn = buttonState_ == app::IntercomButtonState::InCall || !ringingCaller_.isEmpty();
  if (callOn && !callEncryption_.isEmpty()) {
    shown = tr("%1 (encrypted: %2)").arg(shown, callEncryption_);
  }
  if (voicemailWaiting_) {
    shown = voicemailNew_ > 0 ? tr("%1, %2 new voicemail").arg(shown).arg(voicemailNew_)
                              : tr("%1, voicemail waiting").arg(shown);
  }
  if (missedCalls_ > 0) {
    return missedCalls_ == 1 ? tr("Quillet: %1, 1 missed call").arg(shown)
                             : tr("Quillet: %1, %2 missed calls").arg(shown).arg(missedCalls_);
  }
  return tr("Quillet: %1").arg(shown);
}

}  // namespace quillet::ui
