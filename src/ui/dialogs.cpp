// The stand-in for a build without the dialogs: each request is written to the log.
#include "ui/dialogs.h"

#include "base/log.h"

namespace quillet::ui {

namespace {

class MissingDialogs : public Dialogs {
 public:
  bool options(QWidget* /*parent*/, int32_t /*page*/) override {
    base::logError("The Options dialog is not part of this build");
    return false;
  }
  bool contact(QWidget* /*parent*/, contacts::ContactStore& /*store*/,
               int32_t /*position*/) override {
    base::logError("The Contact dialog is not part of this build");
    return false;
  }
  void showAddressBook(QWidget* /*parent*/) override {
    base::logError("The address book window is not part of this build");
  }
  void closeAddressBook() override {}
  void networkWizard(QWidget* /*parent*/) override {
    base::logError("The network wizard is not part of this build");
  }
};

}  // namespace

std::unique_ptr<Dialogs> missingDialogs() {
  return std::make_unique<MissingDialogs>();
}

}  // namespace quillet::ui
