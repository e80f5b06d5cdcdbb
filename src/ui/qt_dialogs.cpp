// Opening the Options and Contact dialogs modally; the address-book window and the
// network wizard are not in this build yet and say so in the log.
#include "ui/qt_dialogs.h"

#include "base/log.h"
#include "ui/contact_dialog.h"
#include "ui/options_dialog.h"

namespace quillet::ui {

namespace {

class QtDialogs : public Dialogs {
 public:
  QtDialogs(base::SettingsStore& store, platform::Prompts& prompts)
      : store_(store), prompts_(prompts) {}

  bool options(QWidget* parent, int32_t page) override {
    OptionsDialog dialog(parent, store_, prompts_, page);
    return dialog.exec() == QDialog::Accepted;
  }
  bool contact(QWidget* parent, contacts::ContactStore& store, int32_t position) override {
    ContactDialog dialog(parent, store, position, prompts_);
    return dialog.exec() == QDialog::Accepted;
  }
  void showAddressBook(QWidget* /*parent*/) override {
    base::logError("The address book window is not part of this build");
  }
  void closeAddressBook() override {}
  void networkWizard(QWidget* /*parent*/) override {
    base::logError("The network wizard is not part of this build");
  }

 private:
  base::SettingsStore& store_;
  platform::Prompts& prompts_;
};

}  // namespace

std::unique_ptr<Dialogs> qtDialogs(base::SettingsStore& store, platform::Prompts& prompts) {
  return std::make_unique<QtDialogs>(store, prompts);
}

}  // namespace quillet::ui
