// SPDX-License-Identifier: Apache-2.0
// The Hot Keys page of the Options dialog: the records of Hotkey/Details as a list, a key
// grabbed with its command (and the address Intercom with a contact calls) added to it.
#include "ui/hot_keys_page.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <string>
#include <vector>

#include "app/hot_keys.h"
#include "base/settings_store.h"
#include "ui/qt_text.h"

namespace quillet::ui {

namespace {

// Hot keys are stored with the key codes of the records (function keys from 0x70, digits
// and capital letters as themselves) and the modifiers Alt 1, Control 2, Shift 4, Meta 8
// above bit 16.
int32_t recordKey(const QKeyCombination& combination) {
  const int key = combination.key();
  int32_t code = 0;
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) {
    code = 0x70 + (key - Qt::Key_F1);
  } else if ((key >= Qt::Key_0 && key <= Qt::Key_9) || (key >= Qt::Key_A && key <= Qt::Key_Z)) {
    code = key;  // the same codes
  } else {
    return 0;
  }
  const Qt::KeyboardModifiers mods = combination.keyboardModifiers();
  const int32_t modifiers = (mods & Qt::AltModifier ? 1 : 0) |
                            (mods & Qt::ControlModifier ? 2 : 0) |
                            (mods & Qt::ShiftModifier ? 4 : 0) | (mods & Qt::MetaModifier ? 8 : 0);
  return modifiers << 16 | code;
}

QKeySequence keySequence(int32_t record) {
  const int32_t code = record & 0xffff;
  const int32_t modifiers = record >> 16;
  int key = 0;
  if (code >= 0x70 && code <= 0x87) {
    key = Qt::Key_F1 + (code - 0x70);
  } else if ((code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z')) {
    key = code;
  } else {
    return {};
  }
  Qt::KeyboardModifiers mods;
  if (modifiers & 1) mods |= Qt::AltModifier;
  if (modifiers & 2) mods |= Qt::ControlModifier;
  if (modifiers & 4) mods |= Qt::ShiftModifier;
  if (modifiers & 8) mods |= Qt::MetaModifier;
  return QKeySequence(QKeyCombination(mods, static_cast<Qt::Key>(key)));
}

class HotKeysPage : public OptionsPageWidget {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit HotKeysPage(QWidget* parent) : OptionsPageWidget(parent) {
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("hotKeys"));
    key_ = new QKeySequenceEdit(this);
    key_->setObjectName(QStringLiteral("hotKey"));
    command_ = new QComboBox(this);
    command_->setObjectName(QStringLiteral("hotKeyCommand"));
    for (int32_t c = app::kHotKeyIntercomSelected; c <= app::kHotKeyHideAddressBook; ++c) {
      command_->addItem(
          c == app::kHotKeyIntercomWith ? tr("Intercom with a contact") : commandName(c, QString()),
          c);
    }
    target_ = new QLineEdit(this);
    target_->setObjectName(QStringLiteral("hotKeyTarget"));
    target_->setPlaceholderText(QStringLiteral("sip:user@host"));
    key_->setAccessibleDescription(
        tr("Press the key to grab: F1 to F24, a digit or "
           "a letter, with modifiers"));
    command_->setAccessibleDescription(tr("What the hot key does"));
    target_->setAccessibleDescription(tr("The address that Intercom with a contact calls"));
    auto* add = new QPushButton(tr("&Add"), this);
    add->setObjectName(QStringLiteral("hotKeyAdd"));
    add->setAccessibleDescription(tr("Adds the key and its command to the list"));
    auto* remove = new QPushButton(tr("Re&move"), this);
    remove->setObjectName(QStringLiteral("hotKeyRemove"));
    remove->setAccessibleDescription(tr("Removes the selected hot key"));
    auto* form = new QFormLayout;
    form->addRow(tr("&Key"), key_);
    form->addRow(tr("&Command"), command_);
    form->addRow(tr("Call &to"), target_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    auto* layout = new QVBoxLayout(this);
    auto* label =
        new QLabel(tr("&Hot keys (they work while another program has the focus):"), this);
    label->setBuddy(list_);
    layout->addWidget(label);
    layout->addWidget(list_, 1);
    layout->addLayout(form);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, [this] { addRecord(); });
    connect(remove, &QPushButton::clicked, this, [this] { delete list_->currentItem(); });
    connect(command_, &QComboBox::currentIndexChanged, this, [this] { showTarget(); });
    showTarget();
  }

  void load(base::SettingsStore& store) override {
    list_->clear();
    for (const app::HotKeyRecord& record : app::readHotKeys(store)) {
      append(record);
    }
  }

  std::optional<PageProblem> check() override {
    if (key_->keySequence().isEmpty()) return std::nullopt;
    return PageProblem{
        key_, QT_TRANSLATE_NOOP("app", "Hot Key Not Added"),
        QT_TRANSLATE_NOOP("app", "Press Add to keep the hot key you entered, or clear it.")};
  }

  void save(base::SettingsStore& store) override {
    base::RegistryList records(store, "Hotkey/Details");
    std::vector<int32_t> old;
    for (records.open(); !records.atEnd(); records.next()) old.push_back(records.current());
    for (int32_t record : old) records.deleteRecord(record);
    for (int i = 0; i < list_->count(); ++i) {
      const QListWidgetItem* item = list_->item(i);
      const int32_t number = records.add();
      records.writeInt(number, "Key", item->data(kKeyRole).toInt());
      records.writeInt(number, "Command", item->data(kCommandRole).toInt());
      records.writeText(number, "CommandTo", toUtf8(item->data(kTargetRole).toString()));
    }
  }

 private:
  static constexpr int kKeyRole = Qt::UserRole;
  static constexpr int kCommandRole = Qt::UserRole + 1;
  static constexpr int kTargetRole = Qt::UserRole + 2;

  void showTarget() {
    target_->setEnabled(command_->currentData().toInt() == app::kHotKeyIntercomWith);
  }

  void addRecord() {
    const QKeySequence sequence = key_->keySequence();
    const int32_t key = sequence.isEmpty() ? 0 : recordKey(sequence[0]);
    if (key == 0) {
      key_->setFocus();
      return;  // only function keys, digits and letters can be grabbed
    }
    const int32_t command = command_->currentData().toInt();
    const std::string target =
        command == app::kHotKeyIntercomWith ? toUtf8(target_->text().trimmed()) : "";
    if (command == app::kHotKeyIntercomWith && target.empty()) {
      target_->setFocus();
      return;
    }
    append({key, command, target});
    key_->clear();
    target_->clear();
  }

  // The command as the list shows it, in the user's language.
  static QString commandName(int32_t command, const QString& commandTo) {
    if (command == app::kHotKeyIntercomWith) {
      return tr("Intercom with %1").arg(commandTo);
    }
    return appText(app::hotKeyCommandName(command, ""));
  }

  void append(const app::HotKeyRecord& record) {
    const QString keys = keySequence(record.key).toString(QKeySequence::NativeText);
    auto* item = new QListWidgetItem(
        QStringLiteral("%1\t%2").arg(keys.isEmpty() ? QStringLiteral("?") : keys,
                                     commandName(record.command, toQString(record.commandTo))),
        list_);
    item->setData(kKeyRole, record.key);
    item->setData(kCommandRole, record.command);
    item->setData(kTargetRole, toQString(record.commandTo));
  }

  QListWidget* list_;
  QKeySequenceEdit* key_;
  QComboBox* command_;
  QLineEdit* target_;
};

}  // namespace

OptionsPageWidget* makeHotKeysPage(QWidget* parent) {
  return new HotKeysPage(parent);
}

}  // namespace quillet::ui
