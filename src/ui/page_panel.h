// SPDX-License-Identifier: Apache-2.0
// PagePanel: the strip of the main window that shows a page playing on the speaker (group,
// caller, priority) with a button to stop listening to it; hidden while no page plays.
#pragma once

#include <QFrame>
#include <string>

class QLabel;
class QPushButton;

namespace quillet::ui {

class PagePanel : public QFrame {
  Q_OBJECT

 public:
  explicit PagePanel(QWidget* parent);
  // "group, caller, priority"; empty hides the panel.
  void showPage(const std::string& text);
  QLabel* label() const { return label_; }
  QPushButton* stopButton() const { return stop_; }

 signals:
  void stopRequested();

 private:
  QLabel* label_;
  QPushButton* stop_;
};

}  // namespace quillet::ui
