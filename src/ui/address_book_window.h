// SPDX-License-Identifier: Apache-2.0
// The address-book window: every contact with its number and automatic-intercom mark, the
// commands to add, edit, delete and e-mail a contact, the per-contact marks, and CSV
// import and export.
#pragma once

#include <QMainWindow>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class QTreeWidget;
class QMenu;

namespace quillet::base {
class SettingsStore;
}
namespace quillet::contacts {
class ContactStore;
}
namespace quillet::platform {
class Prompts;
}

namespace quillet::ui {

class MainWindow;

class AddressBookWindow : public QMainWindow {
  Q_OBJECT
 public:
  // Command identifiers of its menus.
  enum Command : int32_t {
    kClose = 2,
    kHelpContents = 9,
    kSetAutoIntercom = 1008,
    kSetQuickTransfer = 1009,
    kImport = 1020,
    kExport = 1021,
    kNew = 2500,
    kEdit = 2501,
    kDelete = 2502,
    kEmail = 2503,
    kAbout = 9090,
  };

  AddressBookWindow(MainWindow& main, base::SettingsStore& settings, platform::Prompts& prompts);
  // An import under way is cancelled; the contacts it read stay.
  ~AddressBookWindow() override;

  void runCommand(int32_t id);
  // Refills the list from the store, keeping the selected contact when it is still there.
  void refill();
  QTreeWidget* list() const { return list_; }
  QMenu* contactMenu() const { return popup_; }
  QAction* action(int32_t id) const;
  // The position in the store of the selected contact; -1 when none.
  int32_t selectedPosition() const;
  void selectPosition(int32_t position);

 private:
  contacts::ContactStore* store() const;
  QAction* addCommand(QMenu* menu, const QString& text, int32_t id, const QKeySequence& keys = {});
  void changed();  // after every change: this list and the main window's
  void editContact(int32_t position);
  void deleteContact(int32_t position);
  void email(int32_t position);
  void toggleMark(const char* key, int32_t position);
  void exportAddresses();
  void importAddresses();
  // One file on the import thread; false when cancelled (or the window went meanwhile).
  bool importFile(const QString& file);
  void updateCommands();

  MainWindow& main_;
  base::SettingsStore& settings_;
  platform::Prompts& prompts_;
  QTreeWidget* list_ = nullptr;
  QMenu* popup_ = nullptr;
  std::map<int32_t, QAction*> actions_;
  struct ImportJob;
  std::shared_ptr<ImportJob> import_;  // the import under way, if any
};

// The marks kept per contact in a registry list ("AutoIntercom/Details",
// "QuickTransfer/Details"): records with Name and Number.
bool hasMark(base::SettingsStore& settings, const char* key, const std::string& name);
void setMark(base::SettingsStore& settings, const char* key, const std::string& name,
             const std::string& number, bool on);
// A renamed contact keeps its marks; a deleted one loses them (`newName` empty).
void moveMarks(base::SettingsStore& settings, const std::string& oldName,
               const std::string& newName, const std::string& newNumber);

}  // namespace quillet::ui
