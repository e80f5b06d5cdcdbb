// SPDX-License-Identifier: Apache-2.0
// The headless window: the state a window would show, kept for logic and tests.
#include "app/app_window.h"

#include <algorithm>

#include "base/log.h"

namespace quillet::app {

void HeadlessWindow::setContactRows(const std::vector<std::string>& rows) {
  rows_ = rows;
  if (selected_ >= static_cast<int32_t>(rows_.size())) {
    selected_ = -1;
  }
}

void HeadlessWindow::selectRow(int32_t row) {
  selected_ = (row >= 0 && row < static_cast<int32_t>(rows_.size())) ? row : -1;
}

void HeadlessWindow::showContactHint(const std::string& text) {
  base::logInfo(text);
}

void HeadlessWindow::showLineProblem(const std::string& text) {
  lineProblem_ = text;
  if (!text.empty()) base::logError(text);  // a headless run has only its log to show it
}

void HeadlessWindow::openHelp() {
  base::logInfo("The tutorial is at https://quillet.example.org/help");
}

void HeadlessWindow::checkMenuItem(int32_t command, bool checked) {
  auto it = std::find(checked_.begin(), checked_.end(), command);
  if (checked && it == checked_.end()) {
    checked_.push_back(command);
  } else if (!checked && it != checked_.end()) {
    checked_.erase(it);
  }
}

bool HeadlessWindow::menuChecked(int32_t command) const {
  return std::find(checked_.begin(), checked_.end(), command) != checked_.end();
}

void HeadlessWindow::setLineStatus(const std::string& displayName, const std::string& userName,
                                   const std::string& address) {
  status_ = displayName + " " + userName + " " + address;
}

}  // namespace quillet::app
