// SPDX-License-Identifier: Apache-2.0
// IntercomApp: the contact list of the window (filling it, the selection, adding and deleting
// contacts) and the far end of a call kept as the recent contact.
#include <algorithm>
#include <string>
#include <vector>

#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "app/ui_text.h"
#include "contacts/contact_text.h"

namespace quillet::app {

bool IntercomApp::deleteSelectedContact() {
  const int32_t position = selectedPosition();
  if (position < 0) {
    return false;
  }
  const platform::Prompt question{
      QUILLET_UI_TEXT("app", "Confirm Delete"),
      QUILLET_UI_TEXT("app", "Are you sure you want to delete the selected contact?"),
      platform::PromptButtons::OkCancel, platform::PromptIcon::Question, "delete-contact"};
  if (env_.prompts.ask(question) != platform::PromptAnswer::Ok || !contacts_->seek(position)) {
    return false;
  }
  const bool deleted = contacts_->deleteContact(contacts_->cursor());
  refillContacts();
  return deleted;
}

int32_t IntercomApp::selectedPosition() {
  const int32_t row = window_->selectedRow();
  if (row < 0 || row >= static_cast<int32_t>(rows_.size())) {
    return -1;
  }
  return rows_[static_cast<size_t>(row)].position;
}

// Fills the list anew; the contact that was selected stays selected where it still is.
void IntercomApp::refillContacts() {
  const std::string selected = selectedAddress();
  rows_ = contacts::contactListRows(*contacts_);
  std::vector<std::string> texts;
  texts.reserve(rows_.size());
  for (const auto& row : rows_) {
    texts.push_back(row.text);
  }
  window_->setContactRows(texts);
  refreshLamps();
  for (size_t row = 0; row < rows_.size() && !selected.empty(); ++row) {
    if (rowNumber(row) == selected) {
      window_->selectRow(static_cast<int32_t>(row));
      return;
    }
  }
  window_->selectRow(-1);
}

// The add-contact dialog; a contact added is shown and selected, ready for Intercom.
bool IntercomApp::addContactFromWindow() {
  std::vector<std::string> before;
  for (size_t row = 0; row < rows_.size(); ++row) before.push_back(rowNumber(row));
  if (!window_->addContact()) {
    return false;
  }
  refillContacts();
  for (size_t row = 0; row < rows_.size(); ++row) {
    if (std::find(before.begin(), before.end(), rowNumber(row)) == before.end()) {
      window_->selectRow(static_cast<int32_t>(row));
      break;
    }
  }
  updateIntercomButton();
  return true;
}

std::string IntercomApp::rowNumber(size_t row) {
  return row < rows_.size() && contacts_->seek(rows_[row].position) ? contacts_->numberAtCursor()
                                                                    : std::string();
}

std::string IntercomApp::selectedAddress() {
  const int32_t position = selectedPosition();
  if (position < 0 || !contacts_->seek(position)) {
    return {};
  }
  return contacts_->numberAtCursor();
}

void IntercomApp::noteRecentContact(LineSlot& slot) {
  sip::SipEngine& engine = *slot.engine();
  const std::string address = engine.remoteUri();
  if (address.empty()) {
    return;
  }
  const std::string name = engine.remoteDisplayName();
  int32_t position = contacts::findContactByNumber(*contacts_, address);
  if (position < 0) {
    contacts_->add(name.empty() ? address : name, address, "");
    refillContacts();
    position = contacts::findContactByNumber(*contacts_, address);
  } else if (!name.empty() && contacts_->seek(position) &&
             !contacts::equalsNoCase(contacts_->nameAtCursor(), name) && slot.spoolDrained()) {
    contacts_->update(position, name, contacts_->numberAtCursor(), contacts_->emailAtCursor());
    refillContacts();
  }
  for (size_t row = 0; row < rows_.size(); ++row) {
    if (rows_[row].position == position) {
      if (window_->selectedRow() != static_cast<int32_t>(row)) {
        window_->selectRow(static_cast<int32_t>(row));
      }
      settings().writeInt("Recent", "LastRecentIndex", static_cast<int32_t>(row));
      break;
    }
  }
}

}  // namespace quillet::app
