// SPDX-License-Identifier: Apache-2.0
// The on-screen log view: the last 128 log lines, newest at the bottom, each message
// word-wrapped after its time text, errors in red and the rest in light grey on dark
// blue. Scrolled back, it keeps the same lines in view while new lines arrive.
#pragma once

#include <QWidget>

#include "base/log.h"

class QScrollBar;

namespace quillet::ui {

class LogViewWidget : public QWidget {
  Q_OBJECT
 public:
  explicit LogViewWidget(QWidget* parent = nullptr);
  ~LogViewWidget() override;

  base::LogView& model() { return model_; }
  // 0: the newest lines in view; down to base::LogView::kOldestScroll.
  int scrollPosition() const { return model_.scrollPosition(); }
  void setScrollPosition(int position);
  // The lines drawn in the last paint, oldest first (tests).
  const QStringList& shownMessages() const { return shown_; }

 signals:
  void menuRequested(const QPoint& globalPosition);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void syncScrollBar();

  base::LogView model_;
  QScrollBar* bar_;
  QStringList shown_;
};

}  // namespace quillet::ui
