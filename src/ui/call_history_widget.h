// SPDX-License-Identifier: Apache-2.0
// CallHistoryWidget: the main window's list of calls, newest first (in, out, missed or
// intercom, who, when, how long) with its Call Back button; a double-click calls back too.
#pragma once

#include <QWidget>
#include <vector>

#include "app/call_history.h"

class QPushButton;
class QTreeWidget;

namespace quillet::ui {

class CallHistoryWidget : public QWidget {
  Q_OBJECT
 public:
  explicit CallHistoryWidget(QWidget* parent = nullptr);

  void setCalls(const std::vector<app::CallRecord>& calls);
  // The selected row (-1: none), in the order of the calls given.
  int32_t selectedRow() const;
  void selectRow(int32_t row);
  QTreeWidget* list() const { return list_; }
  QPushButton* callBackButton() const { return callBack_; }
  // "In", "Out", "Missed" or "Intercom in/out" as the list shows it.
  static QString kindText(const app::CallRecord& call);

 signals:
  void callBackRequested();

 private:
  void updateButton();

  QTreeWidget* list_ = nullptr;
  QPushButton* callBack_ = nullptr;
};

}  // namespace quillet::ui
