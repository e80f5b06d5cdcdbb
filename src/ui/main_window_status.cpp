// SPDX-License-Identifier: Apache-2.0
// MainWindow: the status line the tray shows, the voicemail indicator that calls the
// voicemail when pressed, and the contacts' lamps.
#include <QComboBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include "ui/main_window.h"

namespace quillet::ui {

namespace {

// A round lamp of the colour; a grey ring when the state is not known.
QIcon lampIcon(app::ContactLamp lamp) {
  QPixmap picture(16, 16);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  switch (lamp) {
    case app::ContactLamp::Unknown:
      painter.setPen(QPen(QColor(0x9e, 0x9e, 0x9e), 1.5));
      break;
    case app::ContactLamp::Free:
      painter.setBrush(QColor(0x2e, 0xa0, 0x43));
      break;
    case app::ContactLamp::Ringing:
      painter.setBrush(QColor(0xf0, 0xa0, 0x20));
      break;
    case app::ContactLamp::Busy:
      painter.setBrush(QColor(0xd0, 0x30, 0x30));
      break;
    case app::ContactLamp::DoNotDisturb:
      painter.setBrush(QColor(0x70, 0x30, 0xa0));
      break;
  }
  if (lamp != app::ContactLamp::Unknown) painter.setPen(Qt::NoPen);
  painter.drawEllipse(QRectF(3, 3, 10, 10));
  return QIcon(picture);
}

}  // namespace

QString MainWindow::lampText(app::ContactLamp lamp) {
  switch (lamp) {
    case app::ContactLamp::Unknown:
      return tr("State not known");
    case app::ContactLamp::Free:
      return tr("Free");
    case app::ContactLamp::Ringing:
      return tr("Ringing");
    case app::ContactLamp::Busy:
      return tr("In a call");
    case app::ContactLamp::DoNotDisturb:
      return tr("Do not disturb");
  }
  return {};
}

void MainWindow::setContactLamps(const std::vector<app::ContactLamp>& lamps) {
  const int count = std::min(contacts_->count(), static_cast<int>(lamps.size()));
  for (int row = 0; row < count; ++row) {
    contacts_->setItemIcon(row, lampIcon(lamps[row]));
    contacts_->setItemData(row, lampText(lamps[row]), Qt::ToolTipRole);
  }
}

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
