// SPDX-License-Identifier: Apache-2.0
// The transport field of the status panel and the lock it shows for TLS.
#include "ui/transport_label.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>

namespace quillet::ui {

namespace {

QPixmap drawnLock(const QColor& color, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal unit = size / 16.0;
  // The shackle: an arch over the body.
  QPen pen(color, 1.8 * unit);
  pen.setCapStyle(Qt::FlatCap);
  painter.setPen(pen);
  QPainterPath shackle;
  shackle.moveTo(4.5 * unit, 8 * unit);
  shackle.lineTo(4.5 * unit, 5.5 * unit);
  shackle.arcTo(QRectF(4.5 * unit, 1.5 * unit, 7 * unit, 7 * unit), 180, -180);
  shackle.lineTo(11.5 * unit, 8 * unit);
  painter.drawPath(shackle);
  // The body with its keyhole.
  painter.setPen(Qt::NoPen);
  painter.setBrush(color);
  painter.drawRoundedRect(QRectF(2.5 * unit, 7.5 * unit, 11 * unit, 7.5 * unit), unit, unit);
  painter.setCompositionMode(QPainter::CompositionMode_Clear);
  painter.drawEllipse(QPointF(8 * unit, 10.5 * unit), 1.3 * unit, 1.3 * unit);
  painter.drawRect(QRectF(7.4 * unit, 11 * unit, 1.2 * unit, 2.5 * unit));
  return pixmap;
}

}  // namespace

QIcon lockIcon(const QColor& color) {
  for (const char* name : {"security-high", "channel-secure-symbolic"}) {
    QIcon themed = QIcon::fromTheme(QString::fromLatin1(name));
    if (!themed.isNull()) return themed;
  }
  QIcon drawn;
  for (int size : {16, 24, 32, 48}) drawn.addPixmap(drawnLock(color, size));
  return drawn;
}

TransportLabel::TransportLabel(QWidget* parent)
    : QWidget(parent), lock_(new QLabel(this)), name_(new QLabel(this)) {
  setObjectName(QStringLiteral("statusTransport"));
  lock_->setObjectName(QStringLiteral("statusLock"));
  name_->setObjectName(QStringLiteral("statusTransportName"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(3);
  // The lock keeps its size and the name takes the room, so the two stay together.
  lock_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  layout->addWidget(lock_);
  layout->addWidget(name_);
  setTransport(sip::TransportKind::Udp);
}

void TransportLabel::setTransport(sip::TransportKind kind) {
  kind_ = kind;
  name_->setText(QString::fromLatin1(sip::viaName(kind)));
  const bool secure = kind == sip::TransportKind::Tls;
  setToolTip(secure ? tr("The line's signalling is encrypted (TLS)")
                    : tr("The line's signalling is not encrypted (%1)").arg(name_->text()));
  lock_->setVisible(secure);
  if (secure) drawLock();
}

void TransportLabel::changeEvent(QEvent* event) {
  // A new palette (light or dark desktop) or font: the drawn lock follows.
  if ((event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) &&
      kind_ == sip::TransportKind::Tls) {
    drawLock();
  }
  QWidget::changeEvent(event);
}

void TransportLabel::drawLock() {
  const int size = std::max(12, name_->fontMetrics().height());
  lock_->setPixmap(lockIcon(palette().color(QPalette::WindowText)).pixmap(size, size));
}

}  // namespace quillet::ui
