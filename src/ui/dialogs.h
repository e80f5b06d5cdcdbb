// SPDX-License-Identifier: Apache-2.0
// The dialogs the main window opens: Options on a page, the Contact dialog, the
// address-book window and the network wizard. The window reaches them only through this
// interface (the Qt dialogs are made by qtDialogs(), ui/qt_dialogs.h).
#pragma once

#include <cstdint>

class QWidget;

namespace quillet::contacts {
class ContactStore;
}

namespace quillet::ui {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // True when the dialog closed with OK (settings may have changed).
  virtual bool options(QWidget* parent, int32_t page) = 0;
  // Adds (position -1) or edits the contact at `position`; true when the store changed.
  virtual bool contact(QWidget* parent, contacts::ContactStore& store, int32_t position) = 0;
  // Shows the address-book window, or brings it to the front when it is open.
  virtual void showAddressBook(QWidget* parent) = 0;
  // Closes the address-book window; returns once it is closed.
  virtual void closeAddressBook() = 0;
  virtual void networkWizard(QWidget* parent) = 0;
};

}  // namespace quillet::ui
