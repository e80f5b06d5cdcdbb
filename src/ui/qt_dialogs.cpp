// SPDX-License-Identifier: Apache-2.0
// Opening the Options and Contact dialogs and the network wizard modally, and the one
// address-book window.
#include "ui/qt_dialogs.h"

#include <QPointer>

#include "app/intercom_app.h"
#include "ui/address_book_window.h"
#include "ui/contact_dialog.h"
#include "ui/main_window.h"
#include "ui/network_wizard.h"
#include "ui/options_dialog.h"

namespace quillet::ui {

namespace {

class QtDialogs : public Dialogs {
 public:
  QtDialogs(base::SettingsStore& store, platform::Prompts& prompts,
            std::vector<std::string> stunServers)
      : store_(store), prompts_(prompts), stunServers_(std::move(stunServers)) {}

  bool options(QWidget* parent, int32_t page) override {
    OptionsDialog dialog(parent, store_, prompts_, page);
    return dialog.exec() == QDialog::Accepted;
  }
  bool contact(QWidget* parent, contacts::ContactStore& store, int32_t position) override {
    ContactDialog dialog(parent, store, position, prompts_);
    return dialog.exec() == QDialog::Accepted;
  }
  void showAddressBook(QWidget* parent) override {
    auto* main = qobject_cast<MainWindow*>(parent);
    if (addressBook_ == nullptr && main != nullptr) {
      addressBook_ = new AddressBookWindow(*main, store_, prompts_);
    }
    if (addressBook_ != nullptr) {
      addressBook_->refill();
      addressBook_->show();
      addressBook_->raise();
      addressBook_->activateWindow();
    }
  }
  void closeAddressBook() override {
    delete addressBook_.data();  // closed at once: the caller goes on without it
  }
  void networkWizard(QWidget* parent) override {
    auto* main = qobject_cast<MainWindow*>(parent);
    if (main == nullptr || main->app() == nullptr) return;
    NetworkWizard wizard(parent, store_, prompts_, main->app()->transport(), stunServers_);
    wizard.exec();
  }

 private:
  base::SettingsStore& store_;
  platform::Prompts& prompts_;
  std::vector<std::string> stunServers_;
  QPointer<AddressBookWindow> addressBook_;  // deletes itself when closed
};

}  // namespace

std::unique_ptr<Dialogs> qtDialogs(base::SettingsStore& store, platform::Prompts& prompts,
                                   std::vector<std::string> stunServers) {
  return std::make_unique<QtDialogs>(store, prompts, std::move(stunServers));
}

}  // namespace quillet::ui
