// SPDX-License-Identifier: Apache-2.0
// CodecOrderWidget: the Codecs setting as a ticked, ordered list.
#include "ui/codec_order_widget.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <string>
#include <vector>

#include "app/line_values.h"
#include "base/settings_store.h"
#include "media/codec_choice.h"

namespace quillet::ui {

namespace {

using codecs::CodecId;

QString codecLabel(CodecId id) {
  switch (id) {
    case CodecId::kOpus:
      return QStringLiteral("Opus");
    case CodecId::kG722:
      return QStringLiteral("G.722");
    case CodecId::kPcmu:
      return QStringLiteral("G.711 \u00b5-law (PCMU)");
    case CodecId::kPcma:
      return QStringLiteral("G.711 A-law (PCMA)");
    case CodecId::kG726_32:
      return QStringLiteral("G.726-32");
    case CodecId::kG726_32Aal2:
      return QStringLiteral("G.726-32 (AAL2)");
    case CodecId::kGsm:
      return QStringLiteral("GSM 06.10");
  }
  return {};
}

}  // namespace

CodecOrderWidget::CodecOrderWidget(QWidget* parent)
    : QWidget(parent), list_(new QListWidget(this)) {
  list_->setObjectName(QStringLiteral("Codecs"));
  list_->setAccessibleName(tr("Voice codecs"));
  list_->setAccessibleDescription(tr(
      "Ticked codecs are offered in this order; the far end's first one that is ticked is taken"));
  auto* up = new QPushButton(tr("&Up"), this);
  auto* down = new QPushButton(tr("Do&wn"), this);
  up->setObjectName(QStringLiteral("CodecUp"));
  down->setObjectName(QStringLiteral("CodecDown"));
  connect(up, &QPushButton::clicked, this, [this] { move(-1); });
  connect(down, &QPushButton::clicked, this, [this] { move(1); });
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(up);
  buttons->addWidget(down);
  buttons->addStretch(1);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(list_, 1);
  row->addLayout(buttons);
}

void CodecOrderWidget::load(base::SettingsStore& store) {
  const std::string section = app::lineSection(store, 0);
  std::vector<std::string> problems;
  std::vector<CodecId> ticked = media::parseCodecList(store.readText(section, "Codecs"), problems);
  const std::vector<CodecId> all = media::defaultCodecOrder(store.readInt("SIP", "Quality", 50));
  if (ticked.empty()) ticked = all;
  std::vector<CodecId> order = ticked;
  for (CodecId id : all) {
    if (std::find(order.begin(), order.end(), id) == order.end()) order.push_back(id);
  }
  list_->clear();
  for (CodecId id : order) {
    auto* item = new QListWidgetItem(codecLabel(id), list_);
    item->setData(Qt::UserRole, static_cast<int>(id));
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    const bool on = std::find(ticked.begin(), ticked.end(), id) != ticked.end();
    item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
  }
  list_->setCurrentRow(0);
}

void CodecOrderWidget::save(base::SettingsStore& store) {
  std::vector<CodecId> ticked;
  for (int i = 0; i < list_->count(); ++i) {
    const QListWidgetItem* item = list_->item(i);
    if (item->checkState() == Qt::Checked)
      ticked.push_back(static_cast<CodecId>(item->data(Qt::UserRole).toInt()));
  }
  const std::vector<CodecId> all = media::defaultCodecOrder(store.readInt("SIP", "Quality", 50));
  // Nothing ticked would leave calls without a codec: that is read as the default too.
  const std::string text = ticked == all || ticked.empty() ? "" : media::codecListText(ticked);
  const std::string section = app::lineSection(store, 0);
  if (store.readText(section, "Codecs") != text) store.writeText(section, "Codecs", text);
}

void CodecOrderWidget::move(int by) {
  const int row = list_->currentRow();
  const int to = row + by;
  if (row < 0 || to < 0 || to >= list_->count()) return;
  QListWidgetItem* item = list_->takeItem(row);
  list_->insertItem(to, item);
  list_->setCurrentRow(to);
}

}  // namespace quillet::ui
