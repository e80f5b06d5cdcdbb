// SPDX-License-Identifier: Apache-2.0
// The main window's call history list and its Call Back button.
#include "ui/call_history_widget.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/accessibility.h"

namespace quillet::ui {

namespace {

QString durationText(int64_t seconds) {
  if (seconds >= 3600) {
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
  }
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QStyle::StandardPixmap kindIcon(const app::CallRecord& call) {
  if (!call.answered) {
    return call.incoming ? QStyle::SP_MessageBoxWarning : QStyle::SP_BrowserStop;
  }
  return call.incoming ? QStyle::SP_ArrowDown : QStyle::SP_ArrowUp;
}

}  // namespace

CallHistoryWidget::CallHistoryWidget(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("callHistory"));
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setHeaderLabels({tr("Call"), tr("Name"), tr("Time"), tr("Duration")});
  list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
  setAccessible(list_, tr("Call history"),
                tr("The calls, newest first; a double-click calls the far end back"));
  layout->addWidget(list_, 1);

  callBack_ = new QPushButton(tr("Call Back"), this);
  callBack_->setObjectName(QStringLiteral("callBack"));
  callBack_->setToolTip(tr("Call the far end of the selected call"));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(callBack_);
  layout->addLayout(buttons);

  connect(callBack_, &QPushButton::clicked, this, &CallHistoryWidget::callBackRequested);
  connect(list_, &QTreeWidget::itemActivated, this, [this] { emit callBackRequested(); });
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] { updateButton(); });
  updateButton();
}

QString CallHistoryWidget::kindText(const app::CallRecord& call) {
  if (call.incoming && !call.answered) {
    return tr("Missed");
  }
  if (call.intercom) {
    return call.incoming ? tr("Intercom in") : tr("Intercom out");
  }
  return call.incoming ? tr("In") : tr("Out");
}

void CallHistoryWidget::setCalls(const std::vector<app::CallRecord>& calls) {
  const int32_t selected = selectedRow();
  const int32_t before = list_->topLevelItemCount();
  list_->clear();
  for (const app::CallRecord& call : calls) {
    auto* item = new QTreeWidgetItem(list_);
    item->setIcon(0, style()->standardIcon(kindIcon(call)));
    item->setText(0, kindText(call));
    const QString name = QString::fromStdString(call.name.empty() ? call.uri : call.name);
    item->setText(1, name);
    item->setToolTip(1, QString::fromStdString(call.uri));
    const QDateTime start = QDateTime::fromSecsSinceEpoch(call.start).toLocalTime();
    item->setText(2, QLocale().toString(start, QLocale::ShortFormat));
    item->setText(3, call.answered ? durationText(call.durationSeconds) : QString());
    if (!call.endReason.empty()) {
      item->setToolTip(0, QString::fromStdString(call.endReason));
    }
  }
  // A new call comes in at the top: the selection stays on the same call.
  if (selected >= 0) {
    selectRow(selected + static_cast<int32_t>(calls.size()) - before);
  }
  updateButton();
}

int32_t CallHistoryWidget::selectedRow() const {
  const QList<QTreeWidgetItem*> items = list_->selectedItems();
  return items.isEmpty() ? -1 : list_->indexOfTopLevelItem(items.front());
}

void CallHistoryWidget::selectRow(int32_t row) {
  QTreeWidgetItem* item = list_->topLevelItem(row);
  if (item != nullptr) {
    list_->setCurrentItem(item);
  }
}

void CallHistoryWidget::updateButton() {
  callBack_->setEnabled(selectedRow() >= 0);
}

}  // namespace quillet::ui
