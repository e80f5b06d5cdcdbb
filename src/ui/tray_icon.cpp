// SPDX-License-Identifier: Apache-2.0
// The tray icon and its menu.
#include "ui/tray_icon.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>

#include "app/app_window.h"
#include "ui/main_window.h"

namespace quillet::ui {

QIcon stateIcon(const QString& state, int missedCalls) {
  QColor colour(0x2e, 0x8b, 0x57);  // idle
  if (state == QStringLiteral("in a call")) {
    colour = QColor(0xd0, 0x3a, 0x2f);
  } else if (state == QStringLiteral("ringing")) {
    colour = QColor(0xe0, 0x8a, 0x00);
  } else if (state == QStringLiteral("Do Not Disturb")) {
    colour = QColor(0x70, 0x70, 0x78);
  }
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(s * 0.06, s * 0.08, s * 0.88, s * 0.66), s * 0.2, s * 0.2);
    QPainterPath tail;
    tail.moveTo(s * 0.25, s * 0.7);
    tail.lineTo(s * 0.2, s * 0.95);
    tail.lineTo(s * 0.5, s * 0.72);
    painter.fillPath(bubble.united(tail), colour);
    // Three bars: a voice.
    painter.setBrush(Qt::white);
    painter.setPen(Qt::NoPen);
    const qreal bar = s * 0.1;
    const qreal heights[] = {0.22, 0.4, 0.22};
    for (int i = 0; i < 3; ++i) {
      const qreal h = s * heights[i];
      painter.drawRoundedRect(QRectF(s * (0.27 + 0.18 * i), s * 0.41 - h / 2, bar, h), bar / 2,
                              bar / 2);
    }
    if (missedCalls > 0) {
      painter.setBrush(QColor(0xf0, 0x90, 0x10));
      painter.drawEllipse(QRectF(s * 0.5, s * 0.5, s * 0.5, s * 0.5));
      painter.setPen(Qt::black);
      QFont font = painter.font();
      font.setPixelSize(std::max(6, static_cast<int>(s * 0.36)));
      font.setBold(true);
      painter.setFont(font);
      painter.drawText(QRectF(s * 0.5, s * 0.5, s * 0.5, s * 0.5), Qt::AlignCenter,
                       missedCalls > 9 ? QStringLiteral("9+") : QString::number(missedCalls));
    }
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

TrayIcon::TrayIcon(MainWindow* window)
    : QObject(window), window_(window), menu_(new QMenu()), icon_(new QSystemTrayIcon(this)) {
  menu_->setObjectName(QStringLiteral("trayMenu"));
  auto add = [this](const QString& text, int32_t id, bool checkable) {
    QAction* item = menu_->addAction(text);
    item->setData(id);
    item->setCheckable(checkable);
    connect(item, &QAction::triggered, window_, [this, id] { window_->runCommand(id); });
    return item;
  };
  add(tr("Show Quillet"), app::kCommandShow, false);
  add(tr("Intercom"), app::kCommandIntercom, true);
  add(tr("Do Not Disturb"), app::kCommandDoNotDisturb, true);
  menu_->addSeparator();
  add(tr("E&xit"), app::kCommandExit, false);
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, window_,
          [this](QSystemTrayIcon::ActivationReason why) {
            if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) {
              window_->runCommand(app::kCommandShow);
            }
          });
  connect(window_, &MainWindow::statusChanged, this, &TrayIcon::refresh);
  refresh();
  icon_->show();
}

TrayIcon::~TrayIcon() {
  delete menu_;
}

void TrayIcon::refresh() {
  const QString status = window_->statusText();
  icon_->setToolTip(status);
  icon_->setIcon(stateIcon(window_->state(), window_->missedCalls()));
  for (QAction* item : menu_->actions()) {
    const int32_t id = item->data().toInt();
    if (QAction* same = window_->action(id); same != nullptr && item->isCheckable()) {
      item->setChecked(same->isChecked());
      item->setEnabled(same->isEnabled());
    }
  }
}

}  // namespace quillet::ui
