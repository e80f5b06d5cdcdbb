// SPDX-License-Identifier: Apache-2.0
// The Contact dialog: adds a contact or edits one, checking the texts before the store
// changes (a valid e-mail address, a name, no other contact of that name).
#pragma once

#include <QDialog>
#include <cstdint>

class QLineEdit;

namespace quillet::contacts {
class ContactStore;
}
namespace quillet::platform {
class Prompts;
}

namespace quillet::ui {

class ContactDialog : public QDialog {
  Q_OBJECT
 public:
  // position -1 adds a contact; any other edits the contact at that position.
  ContactDialog(QWidget* parent, contacts::ContactStore& store, int32_t position,
                platform::Prompts& prompts);

  QLineEdit* nameField() const { return name_; }
  QLineEdit* numberField() const { return number_; }
  QLineEdit* emailField() const { return email_; }

  void accept() override;

 private:
  contacts::ContactStore& store_;
  int32_t position_;
  platform::Prompts& prompts_;
  QLineEdit* name_ = nullptr;
  QLineEdit* number_ = nullptr;
  QLineEdit* email_ = nullptr;
};

}  // namespace quillet::ui
