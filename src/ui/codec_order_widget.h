// SPDX-License-Identifier: Apache-2.0
// CodecOrderWidget: the line's voice codecs (the Codecs setting) as a list to tick and put
// in order with Up and Down, on the Quality page of the options.
#pragma once

#include <QCoreApplication>
#include <QWidget>

class QListWidget;

namespace quillet::base {
class SettingsStore;
}

namespace quillet::ui {

class CodecOrderWidget : public QWidget {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit CodecOrderWidget(QWidget* parent);
  // The first line's Codecs (all ticked in the default order when it is empty).
  void load(base::SettingsStore& store);
  // Writes the ticked codecs in their order; nothing (the default) when that is all of
  // them in the default order.
  void save(base::SettingsStore& store);

 private:
  void move(int by);

  QListWidget* list_;
};

}  // namespace quillet::ui
