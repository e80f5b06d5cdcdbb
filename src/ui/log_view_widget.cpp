// SPDX-License-Identifier: Apache-2.0
// The log view widget over the log writer's ring.
#include "ui/log_view_widget.h"

#include <QContextMenuEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include "ui/qt_text.h"

namespace quillet::ui {

namespace {
const QColor kBackground(0x12, 0x1f, 0x4a);
const QColor kErrorText(0xff, 0x5a, 0x5a);
const QColor kText(0xd8, 0xd8, 0xd8);
constexpr int kMargin = 3;
}  // namespace

LogViewWidget::LogViewWidget(QWidget* parent)
    : QWidget(parent),
      // Lines come from any thread; the repaint is queued to the GUI thread.
      model_([this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
              syncScrollBar();
              update();
            },
            Qt::QueuedConnection);
      }),
      bar_(new QScrollBar(Qt::Vertical, this)) {
  setObjectName(QStringLiteral("control102"));
  setAutoFillBackground(false);
  setMinimumHeight(60);
  bar_->setRange(0, -base::LogView::kOldestScroll);
  bar_->setAccessibleName(QCoreApplication::translate("quillet::ui::LogViewWidget", "Log history"));
  bar_->setAccessibleDescription(
      QCoreApplication::translate("quillet::ui::LogViewWidget", "Scrolls back to older log lines"));
  bar_->setValue(bar_->maximum());
  connect(bar_, &QScrollBar::valueChanged, this, [this](int value) {
    model_.setScrollPosition(value - bar_->maximum());
    update();
  });
  // Font height from the screen's density, at least 11 pixels.
  int height = (logicalDpiY() * 10 + 48) / 96;
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(height < 11 ? 13 : height);
  setFont(font);
  base::LogWriter::instance().setView(&model_);
}

LogViewWidget::~LogViewWidget() {
  // Waits for a line being added on another thread; none arrive afterwards.
  base::LogWriter::instance().setView(nullptr);
}

void LogViewWidget::setScrollPosition(int position) {
  model_.setScrollPosition(position);
  syncScrollBar();
  update();
}

void LogViewWidget::syncScrollBar() {
  const QSignalBlocker blocker(bar_);
  bar_->setValue(bar_->maximum() + model_.scrollPosition());
}

void LogViewWidget::resizeEvent(QResizeEvent* /*event*/) {
  const int width = bar_->sizeHint().width();
  bar_->setGeometry(this->width() - width, 0, width, height());
}

void LogViewWidget::wheelEvent(QWheelEvent* event) {
  const int lines = event->angleDelta().y() / 40;
  setScrollPosition(model_.scrollPosition() - lines);
  event->accept();
}

void LogViewWidget::contextMenuEvent(QContextMenuEvent* event) {
  // A right click (or tap and hold) opens the main menu.
  emit menuRequested(event->globalPos());
  event->accept();
}

void LogViewWidget::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.fillRect(rect(), kBackground);
  const std::vector<base::LogViewLine> lines = model_.lines();
  shown_.clear();
  const QFontMetrics metrics(font());
  const int textRight = width() - bar_->width() - kMargin;
  int bottom = height() - kMargin;
  // The newest line in view is the scroll position's distance from the newest line.
  int index = static_cast<int>(lines.size()) - 1 + model_.scrollPosition();
  for (; index >= 0 && bottom > 0; --index) {
    const base::LogViewLine& line = lines[static_cast<size_t>(index)];
    const QString time = toQString(line.time);
    const QString message = toQString(line.message);
    const int timeWidth = metrics.horizontalAdvance(time + QLatin1Char(' '));
    const QRect bounds(kMargin + timeWidth, 0, std::max(20, textRight - kMargin - timeWidth),
                       10000);
    const QRect needed = metrics.boundingRect(bounds, Qt::TextWordWrap, message);
    const int top = bottom - needed.height();
    painter.setPen(line.level == base::LogLevel::Error ? kErrorText : kText);
    painter.drawText(QPoint(kMargin, top + metrics.ascent()), time);
    painter.drawText(QRect(bounds.left(), top, bounds.width(), needed.height()), Qt::TextWordWrap,
                     message);
    shown_.prepend(message);
    bottom = top - 1;
  }
}

}  // namespace quillet::ui
