// SPDX-License-Identifier: Apache-2.0
// CallsPanel: the strip of the main window that lists the line's calls while a second one
// waits or is up (who, and whether active, on hold or waiting), with Answer for the call
// that waits and Switch between the active and the held call; hidden with one call.
#pragma once

#include <QFrame>
#include <vector>

#include "app/app_window.h"

class QLabel;
class QPushButton;

namespace quillet::ui {

class CallsPanel : public QFrame {
  Q_OBJECT

 public:
  explicit CallsPanel(QWidget* parent);
  void showCalls(const std::vector<app::CallEntry>& calls);
  QLabel* label() const { return label_; }
  QPushButton* answerButton() const { return answer_; }
  QPushButton* switchButton() const { return switch_; }

 signals:
  void commandRequested(int32_t command);

 private:
  QLabel* label_;
  QPushButton* answer_;
  QPushButton* switch_;
};

}  // namespace quillet::ui
