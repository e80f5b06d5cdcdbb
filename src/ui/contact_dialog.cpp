// SPDX-License-Identifier: Apache-2.0
// The Contact dialog's fields, checks and store update.
#include "ui/contact_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "contacts/contact_store.h"
#include "contacts/contact_text.h"
#include "platform/prompts.h"
#include "ui/accessibility.h"
#include "ui/qt_text.h"

namespace quillet::ui {

ContactDialog::ContactDialog(QWidget* parent, contacts::ContactStore& store, int32_t position,
                             platform::Prompts& prompts)
    : QDialog(parent), store_(store), position_(position), prompts_(prompts) {
  setObjectName(QStringLiteral("contactDialog"));
  setWindowTitle(position < 0 ? tr("Add New Contact") : tr("Edit Contact"));
  name_ = new QLineEdit(this);
  number_ = new QLineEdit(this);
  email_ = new QLineEdit(this);
  for (QLineEdit* field : {name_, number_, email_}) {
    field->setMaxLength(static_cast<int>(contacts::kMaxTextChars));
  }
  auto* form = new QFormLayout;
  form->addRow(tr("Contact &name"), name_);
  form->addRow(tr("Number or &sip address"), number_);
  form->addRow(tr("&Email address"), email_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &ContactDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &ContactDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  number_->setAccessibleDescription(
      tr("A number on the line's server, user@host or a sip: address"));
  nameControls(this);
  setTabOrder(name_, number_);
  setTabOrder(number_, email_);

  if (position >= 0 && store.seek(position)) {
    name_->setText(toQString(store.nameAtCursor()));
    number_->setText(toQString(store.numberAtCursor()));
    email_->setText(toQString(store.emailAtCursor()));
  }
  name_->setFocus();
}

void ContactDialog::accept() {
  const contacts::ContactCheck check = contacts::checkContact(
      store_, position_, toUtf8(name_->text()), toUtf8(number_->text()), toUtf8(email_->text()));
  if (check.problem != contacts::ContactProblem::kNone) {
    prompts_.ask({toUtf8(windowTitle()), contacts::contactProblemText(check.problem),
                  platform::PromptButtons::Ok, platform::PromptIcon::Warning, "contact"});
    QLineEdit* field = check.problem == contacts::ContactProblem::kInvalidEmail ? email_ : name_;
    field->setFocus();
    field->selectAll();
    return;
  }
  if (position_ >= 0) {
    store_.update(position_, check.name, check.number, check.email);
  } else {
    store_.add(check.name, check.number, check.email);
  }
  QDialog::accept();
}

}  // namespace quillet::ui
