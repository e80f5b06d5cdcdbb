// SPDX-License-Identifier: Apache-2.0
// What a screen reader finds in the window, the Options pages, the line and contact
// dialogs and the address book, through Qt's accessibility interfaces: every button, field,
// list and box has a name, and the Intercom button, found by its name and pressed through
// its action interface, places the intercom call.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QPushButton>
#include <QStackedWidget>
#include <string>

#include "base/settings_store.h"
#include "contacts/contact_store.h"
#include "ui/address_book_window.h"
#include "ui/contact_dialog.h"
#include "ui/line_settings_dialog.h"
#include "ui/options_dialog.h"
#include "ui/options_pages.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;

bool isControl(QAccessible::Role role) {
  switch (role) {
    case QAccessible::Button:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ButtonMenu:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::ProgressBar:
    case QAccessible::List:
    case QAccessible::Tree:
    case QAccessible::Table:
      return true;
    default:
      return false;
  }
}

// The controls below `node` in the accessible tree, by their names and roles; a combo
// box's drop-down list is part of the box.
struct Found {
  int controls = 0;
  QStringList unnamed;  // "class (object name)" of each control without a name
  std::vector<QAccessibleInterface*> named;
};

// The name a screen reader gets. Qt on Linux reads a combo box's current text as its name
// (the label comes through the labelled-by relation): there the box's own name counts.
QString nameOf(QAccessibleInterface* node) {
  const auto* widget = qobject_cast<const QWidget*>(node->object());
  if (node->role() == QAccessible::ComboBox && widget != nullptr) return widget->accessibleName();
  return node->text(QAccessible::Name).trimmed();
}

void walk(QAccessibleInterface* node, Found& found) {
  if (node == nullptr) return;
  if (isControl(node->role())) {
    ++found.controls;
    if (nameOf(node).isEmpty()) {
      const QObject* object = node->object();
      found.unnamed << (object == nullptr
                            ? QStringLiteral("?")
                            : QStringLiteral("%1 (%2)").arg(object->metaObject()->className(),
                                                            object->objectName()));
    } else {
      found.named.push_back(node);
    }
    if (node->role() == QAccessible::ComboBox) return;
  }
  for (int i = 0; i < node->childCount(); ++i) walk(node->child(i), found);
}

Found controlsOf(QWidget* widget) {
  Found found;
  walk(QAccessible::queryAccessibleInterface(widget), found);
  return found;
}

QAccessibleInterface* findControl(const Found& found, QAccessible::Role role, const QString& name) {
  for (QAccessibleInterface* node : found.named) {
    if (node->role() == role && nameOf(node) == name) return node;
  }
  return nullptr;
}

// A loopback UDP socket standing for a far end that never answers: it notes the first
// request it gets.
class SilentPeer {
 public:
  SilentPeer() : port_(freeUdpPort()), fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~SilentPeer() { ::close(fd_); }
  SilentPeer(const SilentPeer&) = delete;
  SilentPeer& operator=(const SilentPeer&) = delete;

  bool bound() const { return bound_; }
  std::string address() const { return "sip:door@127.0.0.1:" + std::to_string(port_); }
  // The first line of the first INVITE received so far, or "" (the window also watches the
  // contact's line with a SUBSCRIBE, which is passed over).
  const std::string& firstInvite() {
    char buffer[4096];
    ssize_t got = 0;
    while (first_.empty() && (got = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
      const std::string text(buffer, static_cast<size_t>(got));
      if (text.rfind("INVITE ", 0) == 0) first_ = text.substr(0, text.find("\r\n"));
    }
    return first_;
  }

 private:
  int32_t port_;
  int fd_;
  bool bound_ = false;
  std::string first_;
};

TEST_F(WindowTest, EveryControlOfTheWindowHasANameAndIntercomIsPressedByIt) {
  SilentPeer door;
  ASSERT_TRUE(door.bound());
  addContact("Door", door.address());
  base::SettingsStore::global().writeInt("Recent", "LastRecentIndex", 0);
  start();
  window_->show();
  window_->runCommand(2004);  // the status panel too

  Found found = controlsOf(window_);
  EXPECT_GE(found.controls, 8);  // the contact list, buttons, meters, volumes, tool bar
  EXPECT_TRUE(found.unnamed.isEmpty()) << found.unnamed.join(u',').toStdString();

  QAccessibleInterface* intercom = findControl(found, QAccessible::Button, "Intercom");
  ASSERT_NE(intercom, nullptr);
  EXPECT_FALSE(intercom->text(QAccessible::Description).isEmpty());
  EXPECT_NE(findControl(found, QAccessible::ComboBox, "Contacts"), nullptr);
  EXPECT_NE(findControl(found, QAccessible::Slider, "Speaker volume"), nullptr);
  EXPECT_NE(findControl(found, QAccessible::Slider, "Microphone volume"), nullptr);
  QAccessibleActionInterface* actions = intercom->actionInterface();
  ASSERT_NE(actions, nullptr);
  ASSERT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
  actions->doAction(QAccessibleActionInterface::pressAction());

  // The press reached the application: the button offers to cancel the call, and the
  // call's INVITE reaches the contact.
  auto* button = window_->findChild<QPushButton*>("control115");
  EXPECT_EQ(button->text(), "Cancel (F5)");
  EXPECT_EQ(button->accessibleName(), "Cancel");
  ASSERT_TRUE(pumpUntil([&] { return !door.firstInvite().empty(); }, 5s)) << logText();
  EXPECT_EQ(door.firstInvite(), "INVITE " + door.address() + " SIP/2.0");
  // The press lets go of the button by itself, as a click does.
  EXPECT_TRUE(pumpUntil([&] { return !button->isDown(); }, 2s));
}

TEST_F(WindowTest, EveryControlOfTheOptionsPagesAndLineDialogsHasAName) {
  start();
  base::SettingsStore& store = base::SettingsStore::global();
  OptionsDialog options(window_, store, *prompts_, 0);
  options.show();
  auto* stack = options.findChild<QStackedWidget*>();
  ASSERT_NE(stack, nullptr);
  ASSERT_EQ(stack->count(), kPageCount);
  for (int32_t page = 0; page < kPageCount; ++page) {
    options.showPage(page);
    const Found found = controlsOf(stack->widget(page));
    EXPECT_GE(found.controls, 2) << optionsPageTitle(page).toStdString();
    EXPECT_TRUE(found.unnamed.isEmpty())
        << optionsPageTitle(page).toStdString() << ": " << found.unnamed.join(u',').toStdString();
  }
  const Found dialog = controlsOf(&options);
  EXPECT_TRUE(dialog.unnamed.isEmpty()) << dialog.unnamed.join(u',').toStdString();
  EXPECT_NE(findControl(dialog, QAccessible::List, "Pages"), nullptr);
  EXPECT_NE(findControl(dialog, QAccessible::EditableText, "Display Name"), nullptr);
  EXPECT_NE(findControl(dialog, QAccessible::SpinBox, "RTP port base"), nullptr);

  LineSettingsDialog line(window_, store, *prompts_, LineSettingsMode::Both);
  line.show();
  const Found lineControls = controlsOf(&line);
  EXPECT_GE(lineControls.controls, 10);
  EXPECT_TRUE(lineControls.unnamed.isEmpty()) << lineControls.unnamed.join(u',').toStdString();
  EXPECT_NE(findControl(lineControls, QAccessible::EditableText, "TLS CA file"), nullptr);

  std::unique_ptr<contacts::ContactStore> book = contacts::createContactStore();
  ContactDialog contact(window_, *book, -1, *prompts_);
  contact.show();
  const Found contactControls = controlsOf(&contact);
  EXPECT_TRUE(contactControls.unnamed.isEmpty())
      << contactControls.unnamed.join(u',').toStdString();
  EXPECT_NE(findControl(contactControls, QAccessible::EditableText, "Number or sip address"),
            nullptr);
}

TEST_F(WindowTest, EveryControlOfTheAddressBookHasAName) {
  realDialogs_ = true;
  addContact("Bob", "sip:bob@127.0.0.1:2");
  start();
  window_->runCommand(app::kCommandAddressBook);
  auto* book = window_->findChild<AddressBookWindow*>();
  ASSERT_NE(book, nullptr);
  const Found found = controlsOf(book);
  EXPECT_GE(found.controls, 4);  // the list and the tool bar's buttons
  EXPECT_TRUE(found.unnamed.isEmpty()) << found.unnamed.join(u',').toStdString();
  QAccessibleInterface* list = findControl(found, QAccessible::Tree, "Contacts");
  ASSERT_NE(list, nullptr);
  EXPECT_FALSE(list->text(QAccessible::Description).isEmpty());
}

}  // namespace
}  // namespace quillet::ui::testing
