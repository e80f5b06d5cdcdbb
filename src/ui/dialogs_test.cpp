// SPDX-License-Identifier: Apache-2.0
// Tests of the Options, Advanced Line Settings and Contact dialogs on a settings file and
// contact book of their own: every page saves and reloads its settings, refusals show
// their exact texts and write nothing; then the window with the real dialogs: Options, the
// address book with its CSV transfers, and closing while dialogs are open.
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>

#include "app/allow_list.h"
#include "app/app_window.h"
#include "app/hot_keys.h"
#include "base/settings_store.h"
#include "contacts/contact_store.h"
#include "contacts/csv_transfer.h"
#include "platform/prompts.h"
#include "ui/address_book_window.h"
#include "ui/contact_dialog.h"
#include "ui/line_settings_dialog.h"
#include "ui/options_dialog.h"
#include "ui/options_pages.h"
#include "ui/qt_message_loop.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillet-dialogs-XXXXXX";
    dir_ = mkdtemp(pattern);
    store_ = std::make_unique<base::SettingsStore>(dir_ + "/settings.ini", dir_ + "/machine.ini");
    prompts_ = std::make_unique<platform::ScriptedPrompts>(loop_, platform::PromptAnswer::Ok);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  template <typename T>
  static T* child(QWidget* parent, const char* name) {
    T* found = parent->findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  // The texts of the questions asked, as "title|text".
  std::vector<std::string> asked() const {
    std::vector<std::string> texts;
    for (const auto& prompt : prompts_->asked()) texts.push_back(prompt.title + "|" + prompt.text);
    return texts;
  }

  std::string dir_;
  QtMessageLoop loop_;
  std::unique_ptr<base::SettingsStore> store_;
  std::unique_ptr<platform::ScriptedPrompts> prompts_;
};

// Contacts as "name|number|email", to compare whole books.
std::vector<std::string> rowsOf(const std::vector<contacts::Contact>& contacts) {
  std::vector<std::string> rows;
  for (const contacts::Contact& c : contacts)
    rows.push_back(c.name + "|" + c.number + "|" + c.email);
  return rows;
}

// A setting shown by the control of its name: the default on an empty settings file
// (nullptr: not looked at), the value entered and the value stored (and shown again).
struct Setting {
  const char* name;
  const char* section;
  const char* shown;
  const char* entered;
  const char* stored;
};
constexpr Setting kSettings[] = {
    {"UseAGC", "Settings", "1", "0", "0"},
    {"UseEchoCancellation", "Settings", nullptr, "0", "0"},
    {"UseNoiseSuppression", "Settings", "1", "0", "0"},
    {"Quality", "SIP", "50", "20", "20"},
    {"EchoCancellation", "SIP", nullptr, "0", "0"},
    {"DisplayName", "DefaultLine", "Ann", " Ann Lee ", "Ann Lee"},
    {"Proxy", "DefaultLine", "", "  pbx.example.org ", "pbx.example.org"},
    {"UserName", "DefaultLine", "", "201", "201"},
    {"ProxyPassword", "DefaultLine", "", "secret", "secret"},
    {"Port", "SIP", "5070", "5080", "5080"},
    {"TLSPort", "SIP", "5071", "5091", "5091"},
    {"RTPPortBase", "SIP", "8000", "9000", "9000"},
    {"UPNP", "SIP", nullptr, "1", "1"},
    {"STUN", "SIP", "1", "0", "0"},
    {"STUNServer1", "SIP", nullptr, "stun.one.test", "stun.one.test"},
    {"STUNServer2", "SIP", nullptr, "stun.two.test:3479", "stun.two.test:3479"},
    {"HTTP", "SIP", nullptr, "1", "1"},
    {"HTTPServer", "SIP", "api.ipify.org/", " ip.test/get", "ip.test/get"},
    {"STATIC", "SIP", nullptr, "1", "1"},
    {"STATICPublicIP", "SIP", nullptr, "203.0.113.7", "203.0.113.7"},
    {"STATICSIPPort", "SIP", nullptr, "6000", "6000"},
    {"STATICRTPPortBase", "SIP", nullptr, "10000", "10000"},
    {"SipTraceOn", "Settings", nullptr, "1", "1"},
    {"SipTraceAudioOn", "Settings", nullptr, "1", "1"},
    {"AllowAll", "Intercom", "1", "0", "0"},
    {"AutoTalkBack", "Intercom", nullptr, "1", "1"},
};

// The value of a check box ("1" or "0"), spin box, slider or text field, and its entry.
std::string valueOf(QWidget* w) {
  if (auto* box = qobject_cast<QAbstractButton*>(w)) return box->isChecked() ? "1" : "0";
  if (auto* spin = qobject_cast<QSpinBox*>(w)) return std::to_string(spin->value());
  if (auto* slider = qobject_cast<QAbstractSlider*>(w)) return std::to_string(slider->value());
  return qobject_cast<QLineEdit*>(w)->text().toStdString();
}
void enter(QWidget* w, const QString& value) {
  if (auto* box = qobject_cast<QAbstractButton*>(w)) return box->setChecked(value == "1");
  if (auto* spin = qobject_cast<QSpinBox*>(w)) return spin->setValue(value.toInt());
  if (auto* slider = qobject_cast<QAbstractSlider*>(w)) return slider->setValue(value.toInt());
  qobject_cast<QLineEdit*>(w)->setText(value);
}

TEST_F(DialogTest, EveryOptionsPageShowsDefaultsThenSavesAndReloadsItsSettings) {
  store_->writeText("DefaultLine", "DisplayName", "Ann");  // the Lines page needs a name
  {
    OptionsDialog dialog(nullptr, *store_, *prompts_, 0);
    for (const Setting& s : kSettings) {
      QWidget* control = dialog.findChild<QWidget*>(QString::fromUtf8(s.name));
      ASSERT_NE(control, nullptr) << s.name;
      if (s.shown != nullptr) {
        EXPECT_EQ(valueOf(control), s.shown) << s.name;
      }
      enter(control, QString::fromUtf8(s.entered));
    }
    EXPECT_EQ(child<QComboBox>(&dialog, "PlayDevice")->currentText(), "[Default Sound Out]");
    EXPECT_EQ(child<QComboBox>(&dialog, "RecordDevice")->currentText(), "[Default Sound In]");
    child<QComboBox>(&dialog, "PlayDevice")->setEditable(true);
    child<QComboBox>(&dialog, "PlayDevice")->setEditText("file:/tmp/out.wav");
    // A device with a mixer whose input source has three items (see ALSA_CONFIG_PATH).
    auto* record = child<QComboBox>(&dialog, "RecordDevice");
    auto* channel = child<QComboBox>(&dialog, "RecordDeviceChannel");
    EXPECT_EQ(channel->count(), 1);
    record->setEditable(true);
    record->setEditText("quillet_card:CARD=Selector");
    ASSERT_EQ(channel->count(), 4);
    EXPECT_EQ(channel->itemText(2), "Line");
    channel->setCurrentIndex(2);
    for (const char* entry : {"desk@10.0.0.2", "a,b \"c\"", "lobby"}) {
      child<QLineEdit>(&dialog, "allowEntry")->setText(QString::fromUtf8(entry));
      child<QPushButton>(&dialog, "allowAdd")->click();
    }
    child<QListWidget>(&dialog, "Allow")->setCurrentRow(2);
    child<QPushButton>(&dialog, "allowRemove")->click();
    // The codecs: G.722 moved above Opus, GSM (the last) no longer offered.
    auto* codecs = child<QListWidget>(&dialog, "Codecs");
    ASSERT_EQ(codecs->count(), 7);
    EXPECT_EQ(codecs->item(0)->text(), "Opus");
    codecs->setCurrentRow(1);
    child<QPushButton>(&dialog, "CodecUp")->click();
    child<QPushButton>(&dialog, "CodecDown")->click();
    child<QPushButton>(&dialog, "CodecUp")->click();
    codecs->item(6)->setCheckState(Qt::Unchecked);
    for (int32_t page = 0; page < kPageCount; ++page) {
      dialog.pageMenu()->setCurrentRow(page);  // the page menu shows the page
      EXPECT_EQ(dialog.currentPage(), page);
      shot(&dialog, "options-" + std::to_string(page + 1) + ".png");
    }
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  for (const Setting& s : kSettings) {
    EXPECT_EQ(store_->readText(s.section, s.name), s.stored) << s.name;
  }
  EXPECT_EQ(store_->readText("Settings", "PlayDevice"), "file:/tmp/out.wav");
  EXPECT_EQ(store_->readDevice("Settings", "RecordDevice"),
            (base::DeviceSetting{"quillet_card:CARD=Selector", 2}));
  EXPECT_EQ(store_->readText("Intercom", "Allow"), "desk@10.0.0.2,\"a,b \"\"c\"\"\"");
  EXPECT_EQ(store_->readText("DefaultLine", "Codecs"), "g722,opus,pcmu,pcma,g726-32,aal2-g726-32");
  EXPECT_EQ(store_->readInt("Settings", "SetDlgLastOpenedPage", -1), kPageCount - 1);

  // A new dialog, on the page used last, shows what was saved.
  OptionsDialog again(nullptr, *store_, *prompts_, kPageCount - 1);
  EXPECT_EQ(again.currentPage(), kPageCount - 1);
  for (const Setting& s : kSettings) {
    EXPECT_EQ(valueOf(again.findChild<QWidget*>(QString::fromUtf8(s.name))), s.stored) << s.name;
  }
  EXPECT_EQ(child<QComboBox>(&again, "PlayDevice")->currentText(), "file:/tmp/out.wav");
  EXPECT_EQ(child<QComboBox>(&again, "RecordDevice")->currentText(), "quillet_card:CARD=Selector");
  EXPECT_EQ(child<QComboBox>(&again, "RecordDeviceChannel")->currentText(), "Line");
  auto* codecs = child<QListWidget>(&again, "Codecs");
  EXPECT_EQ(codecs->item(0)->text(), "G.722");
  EXPECT_EQ(codecs->item(6)->checkState(), Qt::Unchecked);
  auto* allow = child<QListWidget>(&again, "Allow");
  ASSERT_EQ(allow->count(), 2);
  EXPECT_EQ(allow->item(0)->text(), "desk@10.0.0.2");
  EXPECT_EQ(allow->item(1)->text(), "a,b \"c\"");
  EXPECT_TRUE(allow->isEnabled());
  EXPECT_TRUE(prompts_->asked().empty());
}

// A long allow list with an empty item (which lets every caller through) comes back from
// the Intercom page as it was stored, and the calls are matched against all of it.
TEST_F(DialogTest, AllowListOfAnyLengthKeepsEveryItem) {
  std::string stored;
  for (int i = 0; i < 20; ++i)
    stored += "desk-" + std::to_string(i) + "@10.0.0." + std::to_string(i) + ",";
  stored += ",lobby";
  ASSERT_GT(stored.size(), base::kMaxSettingChars);
  store_->writeText("DefaultLine", "DisplayName", "Ann");  // the Lines page needs a name
  store_->writeText("Intercom", "AllowAll", "0");
  store_->writeText("Intercom", "Allow", stored);
  const std::vector<std::string> items = app::readAllowList(*store_);
  ASSERT_EQ(items.size(), 22u);
  {
    OptionsDialog dialog(nullptr, *store_, *prompts_, 0);
    auto* allow = child<QListWidget>(&dialog, "Allow");
    ASSERT_EQ(allow->count(), 22);
    EXPECT_EQ(allow->item(20)->text(), "(any caller)");
    allow->setCurrentRow(21);
    child<QPushButton>(&dialog, "allowRemove")->click();  // the empty item is now last
    dialog.accept();
  }
  std::vector<std::string> kept(items.begin(), items.end() - 1);
  EXPECT_EQ(app::readAllowList(*store_), kept);
  EXPECT_TRUE(app::isCallerAllowed(*store_, "sip:desk-19@10.0.0.19"));
  EXPECT_TRUE(app::isCallerAllowed(*store_, "sip:stranger@192.0.2.1"));  // the empty item
}

TEST_F(DialogTest, OptionsRefusalsNameTheFieldAndWriteNothing) {
  store_->writeText("DefaultLine", "UserName", "201");
  OptionsDialog dialog(nullptr, *store_, *prompts_, 0);
  auto* name = child<QLineEdit>(&dialog, "DisplayName");
  name->setText("   ");  // blanks only: trimmed to nothing
  child<QSpinBox>(&dialog, "Port")->setValue(5090);
  dialog.accept();
  EXPECT_EQ(asked(), std::vector<std::string>{"Username Missing|You must enter your username"});
  EXPECT_EQ(dialog.currentPage(), 2);
  EXPECT_EQ(dialog.focusWidget(), name);
  EXPECT_EQ(store_->readText("SIP", "Port"), "");  // no page was saved

  name->setText("Ann");
  child<QSpinBox>(&dialog, "TLSPort")->setValue(5090);  // the SIP port's number
  dialog.accept();
  EXPECT_EQ(asked().back(), "Invalid TLS Port|The SIP TLS port must differ from the SIP port.");
  EXPECT_EQ(dialog.currentPage(), 3);
  EXPECT_EQ(dialog.focusWidget(), child<QSpinBox>(&dialog, "TLSPort"));
  child<QSpinBox>(&dialog, "TLSPort")->setValue(0);  // no incoming TLS: no clash
  EXPECT_EQ(child<QSpinBox>(&dialog, "TLSPort")->text(), "none");
  child<QSpinBox>(&dialog, "RTPPortBase")->setValue(8001);
  dialog.accept();
  EXPECT_EQ(asked().back(), "Invalid RTP Port|The RTP port base must be an even number.");
  EXPECT_EQ(dialog.currentPage(), 3);
  child<QSpinBox>(&dialog, "RTPPortBase")->setValue(8002);
  child<QCheckBox>(&dialog, "STATIC")->setChecked(true);
  child<QLineEdit>(&dialog, "STATICPublicIP")->setText("203.0.113");
  dialog.accept();
  EXPECT_EQ(asked().back(),
            "Invalid Public Address|Please enter the public IP address of the static mapping.");
  EXPECT_EQ(dialog.currentPage(), 5);
  EXPECT_EQ(store_->readText("SIP", "Port"), "");
  child<QLineEdit>(&dialog, "STATICPublicIP")->setText("203.0.113.9");
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(store_->readInt("SIP", "Port", 0), 5090);
  EXPECT_EQ(store_->readInt("SIP", "TLSPort", -1), 0);
  EXPECT_EQ(store_->readText("DefaultLine", "DisplayName"), "Ann");
}

TEST_F(DialogTest, AdvancedLineSettingsCheckSaveAndMarkTheButton) {
  store_->writeText("DefaultLine", "DisplayName", "Ann");
  store_->writeInt("DefaultLine", "UseOutboundServer", 7);  // anything but 0, 1: the third
  store_->writeText("DefaultLine", "AuthID", "kept");
  OptionsDialog options(nullptr, *store_, *prompts_, 2);
  auto* advanced = child<QPushButton>(&options, "advancedLineSettings");
  EXPECT_EQ(advanced->text().remove(u'&'), "Advanced Line Settings [Modified]");
  EXPECT_TRUE(advanced->font().bold());

  {
    LineSettingsDialog both(nullptr, *store_, *prompts_, LineSettingsMode::Both);
    EXPECT_TRUE(both.outboundChoice(2)->isChecked());
    EXPECT_TRUE(both.authChoice(0)->isChecked());
    EXPECT_EQ(both.authField()->text(), "kept");
    both.outboundChoice(1)->setChecked(true);
    both.outboundField()->setText("  ");
    both.authChoice(1)->setChecked(true);
    both.authField()->setText("");
    both.accept();
    both.outboundField()->setText(" proxy.test:5060 ");
    both.accept();
    EXPECT_EQ(asked(), (std::vector<std::string>{
                           "Invalid Outbound Server|Please enter the outbound server address "
                           "that you want to use.",
                           "Invalid Default Authentication ID|Please enter the default "
                           "authentication id that you want to use."}));
    EXPECT_EQ(store_->readInt("DefaultLine", "UseOutboundServer", 0), 7);  // nothing written
    both.authField()->setText("ann-auth");
    shot(&both, "advanced-line-settings.png");
    both.accept();
    EXPECT_EQ(both.result(), QDialog::Accepted);
  }
  EXPECT_EQ(store_->readInt("DefaultLine", "UseOutboundServer", 0), 1);
  EXPECT_EQ(store_->readText("DefaultLine", "OutboundServer"), "proxy.test:5060");
  EXPECT_EQ(store_->readInt("DefaultLine", "UseAuthentication", 0), 1);
  EXPECT_EQ(store_->readText("DefaultLine", "AuthID"), "ann-auth");

  // One group alone writes only its own values.
  LineSettingsDialog outbound(nullptr, *store_, *prompts_, LineSettingsMode::OutboundServer);
  outbound.outboundChoice(0)->setChecked(true);
  outbound.accept();
  EXPECT_EQ(store_->readInt("DefaultLine", "UseOutboundServer", 9), 0);
  EXPECT_EQ(store_->readInt("DefaultLine", "UseAuthentication", 0), 1);
  LineSettingsDialog auth(nullptr, *store_, *prompts_, LineSettingsMode::Authentication);
  auth.authChoice(0)->setChecked(true);
  auth.accept();
  EXPECT_EQ(store_->readInt("DefaultLine", "UseAuthentication", 9), 0);
  EXPECT_EQ(store_->readText("DefaultLine", "AuthID"), "ann-auth");

  // The caption follows once the advanced dialog closes with OK.
  QTimer::singleShot(0, [] {
    auto* open = qobject_cast<LineSettingsDialog*>(QApplication::activeModalWidget());
    if (open != nullptr) open->accept();
  });
  advanced->click();
  EXPECT_EQ(advanced->text().remove(u'&'), "Advanced Line Settings");
  EXPECT_FALSE(advanced->font().bold());
}

TEST_F(DialogTest, ContactDialogChecksInOrderAndAddsOrUpdates) {
  contacts::IniContactStore book(dir_ + "/contacts.ini");
  book.add("Bob", "sip:bob@127.0.0.1", "");
  {
    ContactDialog add(nullptr, book, -1, *prompts_);
    add.nameField()->setText("BOB");
    add.emailField()->setText("ann@example.c");
    add.accept();
    EXPECT_EQ(add.focusWidget(), add.emailField());
    add.emailField()->setText(" ann@example.com ");
    add.accept();
    EXPECT_EQ(add.focusWidget(), add.nameField());
    add.nameField()->setText(" Ann ");
    add.numberField()->setText(" sip:ann@127.0.0.1 ");
    shot(&add, "contact.png");
    add.accept();
    EXPECT_EQ(add.result(), QDialog::Accepted);
  }
  EXPECT_EQ(asked(),
            (std::vector<std::string>{
                "Add New Contact|The email address is invalid. Please correct.",
                "Add New Contact|There is another contact with the same name already exists. "
                "Please use another name."}));
  // Editing keeps its own name (in another case too) and rewrites the contact in place.
  ContactDialog edit(nullptr, book, 0, *prompts_);
  EXPECT_EQ(edit.nameField()->text(), "Bob");
  edit.nameField()->setText("bob");
  edit.numberField()->setText("sip:bob@127.0.0.2");
  edit.accept();
  EXPECT_EQ(edit.result(), QDialog::Accepted);
  EXPECT_EQ(rowsOf(contacts::readContacts(book)),
            (std::vector<std::string>{"bob|sip:bob@127.0.0.2|",
                                      "Ann|sip:ann@127.0.0.1|ann@example.com"}));
}

// The level test records from the chosen device and shows its level: a tone at half of
// full scale reads +6 dB, the silence after it "silent"; Stop and leaving the page end it.
TEST_F(DialogTest, TheLevelTestShowsTheLevelOfTheChosenDevice) {
  platform::setGuiLoop(&loop_);
  std::vector<int16_t> sound(8000 * 3, 0);
  for (size_t i = 0; i < 8000; ++i) {  // a second of tone, then silence
    sound[i] =
        static_cast<int16_t>(16384 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 8000));
  }
  writeWav(dir_ + "/sound.wav", sound);
  {
    OptionsDialog dialog(nullptr, *store_, *prompts_, kPageRecording);
    dialog.show();
    auto* record = child<QComboBox>(&dialog, "RecordDevice");
    auto* test = child<QPushButton>(&dialog, "levelTest");
    auto* meter = child<QProgressBar>(&dialog, "levelMeter");
    auto* text = child<QLabel>(&dialog, "levelText");
    record->setEditable(true);
    record->setEditText(QString::fromStdString("file:" + dir_ + "/sound.wav"));
    QTest::mouseClick(test, Qt::LeftButton);
    EXPECT_EQ(test->text(), "&Stop");
    EXPECT_TRUE(QTest::qWaitFor([&] { return meter->value() > -60; }, 3000));
    QTest::qWait(200);  // a few blocks more
    EXPECT_GE(meter->value(), 5);
    EXPECT_LE(meter->value(), 7);
    EXPECT_TRUE(text->text().endsWith(" dB")) << text->text().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return text->text() == "silent"; }, 3000));
    EXPECT_EQ(meter->value(), -60);
    QTest::mouseClick(test, Qt::LeftButton);
    EXPECT_EQ(test->text(), "&Test");
    EXPECT_TRUE(text->text().isEmpty());

    QTest::mouseClick(test, Qt::LeftButton);
    EXPECT_EQ(test->text(), "&Stop");
    dialog.showPage(kPageQuality);  // the page is hidden: the test ends
    EXPECT_EQ(test->text(), "&Test");
    dialog.reject();
  }
  platform::setGuiLoop(nullptr);
}

// The mnemonic letter of a text ("&Port" gives 'p'; "&&" is a plain ampersand), or 0.
QChar mnemonic(const QString& text) {
  for (qsizetype i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != u'&') continue;
    if (text[i + 1] != u'&') return text[i + 1].toLower();
    ++i;
  }
  return {};
}

bool isField(QWidget* w) {
  return qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractSpinBox*>(w) ||
         qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractButton*>(w) ||
         qobject_cast<QAbstractSlider*>(w) || qobject_cast<QAbstractItemView*>(w) ||
         qobject_cast<QKeySequenceEdit*>(w);
}

// What keeps the controls under `root` (shown) from keyboard use: a labelled field, check
// box, radio button, push button or group without a mnemonic, two sharing a letter, a field
// that Tab does not reach, and Tab going back up the page. OK and Cancel are Enter and
// Escape.
std::string keyboardProblems(QWidget* root) {
  QStringList problems;
  const auto name = [](QWidget* w) {
    return QStringLiteral("%1 %2").arg(QString::fromUtf8(w->metaObject()->className()),
                                       w->objectName());
  };
  std::map<QChar, QString> letters;
  const auto note = [&](const QString& text) {
    const QChar letter = mnemonic(text);
    if (letter.isNull()) {
      problems << "no mnemonic: " + text;
    } else if (auto [at, added] = letters.emplace(letter, text); !added) {
      problems << "one mnemonic for: " + at->second + " / " + text;
    }
  };
  for (QLabel* label : root->findChildren<QLabel*>()) {
    if (label->buddy() != nullptr && label->isVisibleTo(root)) note(label->text());
  }
  for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
    if (button->isVisibleTo(root) && qobject_cast<QDialogButtonBox*>(button->parent()) == nullptr &&
        !button->text().isEmpty()) {
      note(button->text());
    }
  }
  for (QGroupBox* group : root->findChildren<QGroupBox*>()) note(group->title());
  // The fields Tab stops at; radio buttons of a group are reached with the arrow keys from
  // the checked one.
  const auto shownField = [root](QWidget* w) {
    return isField(w) && !isField(w->parentWidget()) && w->isVisibleTo(root) && w->isEnabled() &&
           qobject_cast<QDialogButtonBox*>(w->parent()) == nullptr;
  };
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (shownField(w) && (w->focusPolicy() & Qt::TabFocus) == 0 &&
        qobject_cast<QRadioButton*>(w) == nullptr) {
      problems << "not reached by Tab: " + name(w);
    }
  }
  // In Tab order each field is below (or on the same row right of) the one before.
  QWidget* last = nullptr;
  for (QWidget* w = root->nextInFocusChain(); w != root; w = w->nextInFocusChain()) {
    if (!root->isAncestorOf(w) || !shownField(w) || (w->focusPolicy() & Qt::TabFocus) == 0) {
      continue;
    }
    if (last != nullptr) {
      const QRect a(last->mapTo(root, QPoint()), last->size());
      const QRect b(w->mapTo(root, QPoint()), w->size());
      const bool sameRow = b.top() < a.bottom() && a.top() < b.bottom();
      if (b.center().y() < a.top() || (sameRow && b.left() < a.left())) {
        problems << "Tab goes back from " + name(last) + " to " + name(w);
      }
    }
    last = w;
  }
  return problems.join(u'\n').toStdString();
}

TEST_F(DialogTest, EveryDialogWorksFromTheKeyboardAndEscapeCancels) {
  store_->writeText("DefaultLine", "DisplayName", "Ann");
  store_->writeInt("DefaultLine", "UseOutboundServer", 1);  // the fields are enabled
  store_->writeInt("DefaultLine", "UseAuthentication", 1);
  {
    OptionsDialog dialog(nullptr, *store_, *prompts_, 99);  // a stored page out of range
    EXPECT_EQ(dialog.currentPage(), 0);
    dialog.show();
    for (int32_t page = 0; page < kPageCount; ++page) {
      dialog.showPage(page);
      QApplication::processEvents();
      EXPECT_EQ(keyboardProblems(dialog.page(page)), "") << optionsPageTitle(page).toStdString();
    }
    child<QSpinBox>(&dialog, "Port")->setValue(5999);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    // Cancel stores the page shown, and nothing else.
    EXPECT_EQ(store_->readInt("Settings", "SetDlgLastOpenedPage", 0), kPageCount - 1);
    EXPECT_EQ(store_->readText("SIP", "Port"), "");
  }
  LineSettingsDialog both(nullptr, *store_, *prompts_, LineSettingsMode::Both);
  contacts::IniContactStore book(dir_ + "/contacts.ini");
  ContactDialog add(nullptr, book, -1, *prompts_);
  for (QDialog* dialog : std::initializer_list<QDialog*>{&both, &add}) {
    dialog->show();
    QApplication::processEvents();
    EXPECT_EQ(keyboardProblems(dialog), "") << dialog->windowTitle().toStdString();
  }
}

TEST_F(DialogTest, TheHotKeysPageCapturesKeysAndRewritesTheRecords) {
  store_->writeText("DefaultLine", "DisplayName", "Ann");
  base::RegistryList records(*store_, "Hotkey/Details");
  const int32_t old = records.add();
  records.writeInt(old, "Key", 0x70 + 10);  // F11
  records.writeInt(old, "Command", app::kHotKeyShow);
  {
    OptionsDialog dialog(nullptr, *store_, *prompts_, kPageHotKeys);
    auto* list = child<QListWidget>(&dialog, "hotKeys");
    ASSERT_EQ(list->count(), 1);
    EXPECT_TRUE(list->item(0)->text().endsWith("\tShow Quillet"));
    auto* key = child<QKeySequenceEdit>(&dialog, "hotKey");
    auto* command = child<QComboBox>(&dialog, "hotKeyCommand");
    key->setKeySequence(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A));
    command->setCurrentIndex(command->findData(app::kHotKeyIntercomWith));
    child<QPushButton>(&dialog, "hotKeyAdd")->click();
    EXPECT_EQ(list->count(), 1);  // Intercom with needs an address
    child<QLineEdit>(&dialog, "hotKeyTarget")->setText(" sip:door@127.0.0.1 ");
    child<QPushButton>(&dialog, "hotKeyAdd")->click();
    ASSERT_EQ(list->count(), 2);
    EXPECT_TRUE(list->item(1)->text().endsWith("\tIntercom with sip:door@127.0.0.1"));
    list->setCurrentRow(0);
    child<QPushButton>(&dialog, "hotKeyRemove")->click();
    key->setKeySequence(QKeySequence(Qt::Key_F9));  // entered but not added: OK refuses
    dialog.accept();
    EXPECT_EQ(asked(), std::vector<std::string>{"Hot Key Not Added|Press Add to keep the hot key "
                                                "you entered, or clear it."});
    command->setCurrentIndex(command->findData(app::kHotKeyIntercomSelected));
    child<QPushButton>(&dialog, "hotKeyAdd")->click();
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  const std::vector<app::HotKeyRecord> saved = app::readHotKeys(*store_);
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved[0].key, (2 | 4) << 16 | 'A');
  EXPECT_EQ(saved[0].command, app::kHotKeyIntercomWith);
  EXPECT_EQ(saved[0].commandTo, "sip:door@127.0.0.1");
  EXPECT_EQ(saved[1].key, 0x70 + 8);
  EXPECT_EQ(saved[1].command, app::kHotKeyIntercomSelected);
  OptionsDialog again(nullptr, *store_, *prompts_, kPageHotKeys);
  EXPECT_EQ(child<QListWidget>(&again, "hotKeys")->count(), 2);
}

// Types the path into a file dialog's name field, as a user would: selectFile() can lose
// against the dialog's folder model still loading, which leaves the folder selected.
void chooseFile(QFileDialog* dialog, const QString& path) {
  auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (name != nullptr) {
    name->setText(path);
  } else {
    dialog->selectFile(path);
  }
}

// The window with the real dialogs: modal dialogs are driven from a timer as a user would.
class WindowDialogsTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    realDialogs_ = true;
    // A configured line and one contact: the start-up checks open no dialog.
    base::SettingsStore::global().writeText("DefaultLine", "DisplayName", "Ann");
    base::SettingsStore::global().writeText("DefaultLine", "UserName", "201");
    addContact("Bob", "sip:bob@127.0.0.1:2");
  }
  // Runs `fill` on the modal dialog of type T once it is open.
  template <typename T>
  void whenOpen(std::function<void(T*)> fill) {
    auto* timer = new QTimer(window_);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, fill] {
      if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
        timer->deleteLater();
        timer->stop();
        fill(dialog);
      }
    });
    timer->start(10);
  }
};

TEST_F(WindowDialogsTest, OptionsOpenOnTheStoredPageAndOkRestartsTheEngine) {
  base::SettingsStore::global().writeInt("Settings", "SetDlgLastOpenedPage", 3);
  start();
  int32_t shownPage = -1;
  whenOpen<OptionsDialog>([&](OptionsDialog* dialog) {
    shownPage = dialog->currentPage();
    dialog->findChild<QSpinBox*>(QStringLiteral("Port"))->setValue(5099);
    dialog->findChild<QLineEdit*>(QStringLiteral("DisplayName"))->setText("Ann Lee");
    dialog->accept();
  });
  window_->runCommand(app::kCommandOptions);
  EXPECT_EQ(shownPage, 3);
  EXPECT_EQ(base::SettingsStore::global().readInt("SIP", "Port", 0), 5099);
  EXPECT_TRUE(pumpUntil([&] { return logHas("Restarting so settings take effect."); }, 3s));
  auto* statusName = window_->findChild<QLabel*>(QStringLiteral("statusName"));
  ASSERT_NE(statusName, nullptr);
  EXPECT_EQ(statusName->text(), "Ann Lee");
  stop();
}

// A close request (a signal, a later start's -exit or the close hot key all request it the
// same way) while dialogs and questions are open: each is cancelled, the loops unwind, nothing
// the user had not stored is kept and the program takes its parts down.
class ClosingTest : public WindowDialogsTest {
 protected:
  // Requests the close once a modal widget of type T is the innermost.
  template <typename T>
  void closeWhenOpen() {
    whenOpen<T>([this](T*) { app_->requestClose(); });
  }
  // Runs the program's loop as the executable does (a hang is ended by force), then checks
  // the teardown ran: no dialog left, the do-not-disturb flag written back.
  void runLoopToTheEnd() {
    base::SettingsStore::global().deleteValue("Settings", "DoNotDisturb");
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [this] { loop_->quitAll(); });
    guard.start(10s);
    const auto began = std::chrono::steady_clock::now();
    loop_->run();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 9s) << "the close hung";
    EXPECT_TRUE(loop_->closing());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(logHas("Closing Quillet"));
    stop();
    EXPECT_FALSE(base::SettingsStore::global().readText("Settings", "DoNotDisturb").empty());
  }
};

TEST_F(ClosingTest, OptionsWithANestedDialogAreCancelledAndNothingIsSaved) {
  start();
  // Options with an edited, unsaved name, and the advanced line settings open over it.
  whenOpen<OptionsDialog>([](OptionsDialog* options) {
    options->showPage(app::kOptionsPageLines);
    options->findChild<QLineEdit*>(QStringLiteral("DisplayName"))->setText("Not saved");
    QMetaObject::invokeMethod(
        options->findChild<QPushButton*>(QStringLiteral("advancedLineSettings")),
        &QPushButton::click, Qt::QueuedConnection);
  });
  closeWhenOpen<LineSettingsDialog>();
  loop_->post([this] { window_->runCommand(app::kCommandOptions); });
  runLoopToTheEnd();
  EXPECT_EQ(base::SettingsStore::global().readText("DefaultLine", "DisplayName"), "Ann");
}

TEST_F(ClosingTest, TheTalkBackQuestionAndDialogsOpenedWhileClosingEndAtOnce) {
  start();
  closeWhenOpen<QMessageBox>();
  // Closing, the code below the question opens Options: it is closed as it shows.
  loop_->post([this] {
    prompts_->ask({"Incoming Call", "Incoming SIP call was detected.",
                   platform::PromptButtons::YesNo, platform::PromptIcon::Question, "talk-back"});
    window_->runCommand(app::kCommandOptions);
  });
  runLoopToTheEnd();
}

// The address book with `count` contacts "name N" (one with a comma, one with a quote).
void fillBook(int count) {
  std::unique_ptr<contacts::ContactStore> store = contacts::createContactStore();
  std::unique_ptr<contacts::ChangeGroup> group = store->groupChanges();
  for (int i = 0; i < count; ++i) {
    const std::string name = i == 1   ? "Lee, Ann"
                             : i == 2 ? "Bo \"the\" Bear"
                                      : "name " + std::to_string(i);
    store->add(name, "sip:" + std::to_string(i) + "@127.0.0.1", i % 2 ? "" : "n@example.org");
  }
}

QStringList row(QTreeWidgetItem* item) {
  return {item->text(0), item->text(1), item->text(2)};
}

TEST_F(WindowDialogsTest, TheAddressBookListsMarksEditsAndDeletesContacts) {
  addContact("al", "sip:al@127.0.0.1:3");
  start();
  window_->runCommand(2001);
  auto* book = window_->findChild<AddressBookWindow*>();
  ASSERT_NE(book, nullptr);
  EXPECT_TRUE(book->isVisible());
  QTreeWidget* list = book->list();
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(row(list->topLevelItem(0)), QStringList({"al", "sip:al@127.0.0.1:3", "Off"}));
  EXPECT_FALSE(book->action(AddressBookWindow::kEdit)->isEnabled());  // nothing selected

  // The automatic-intercom mark: On in the list, a record in the registry list.
  list->setCurrentItem(list->topLevelItem(1));  // Bob
  book->runCommand(AddressBookWindow::kSetAutoIntercom);
  EXPECT_EQ(list->topLevelItem(1)->text(2), "On");
  EXPECT_TRUE(book->action(AddressBookWindow::kSetAutoIntercom)->isChecked());
  book->runCommand(AddressBookWindow::kSetQuickTransfer);
  auto& settings = base::SettingsStore::global();
  EXPECT_TRUE(hasMark(settings, "AutoIntercom/Details", "Bob"));
  EXPECT_TRUE(hasMark(settings, "QuickTransfer/Details", "Bob"));

  // Renaming keeps the marks under the new name.
  whenOpen<ContactDialog>([](ContactDialog* dialog) {
    dialog->nameField()->setText("Bobby");
    dialog->accept();
  });
  book->runCommand(AddressBookWindow::kEdit);
  EXPECT_EQ(row(list->topLevelItem(1)), QStringList({"Bobby", "sip:bob@127.0.0.1:2", "On"}));
  EXPECT_TRUE(hasMark(settings, "AutoIntercom/Details", "Bobby"));
  EXPECT_FALSE(hasMark(settings, "AutoIntercom/Details", "Bob"));
  shot(book, "address-book.png");
  auto* mainList = window_->findChild<QComboBox*>(QStringLiteral("control130"));
  ASSERT_TRUE(
      pumpUntil([&] { return mainList->itemText(1) == "Bobby <sip:bob@127.0.0.1:2>"; }, 2s));

  // E-mail: none stored is refused; a valid one goes to the mail program.
  answerBoxes(QMessageBox::Ok);
  book->runCommand(AddressBookWindow::kEmail);
  EXPECT_TRUE(
      sawBox("Quillet", "The email address of this contact is not valid. Please try again."));
  contacts::createContactStore()->update(book->selectedPosition(), "Bobby", "sip:bob@127.0.0.1:2",
                                         "bob@example.org");
  book->runCommand(AddressBookWindow::kEmail);
  EXPECT_EQ(opened(1), std::vector<std::string>{"mailto:bob@example.org"});

  // Delete asks; Cancel keeps the contact, OK deletes it with its marks.
  answerBoxes(QMessageBox::Cancel);
  book->runCommand(AddressBookWindow::kDelete);
  EXPECT_TRUE(sawBox("Confirm Delete", "Are you sure you want to delete the selected contact?"));
  EXPECT_EQ(list->topLevelItemCount(), 2);
  answerBoxes(QMessageBox::Ok);
  book->runCommand(AddressBookWindow::kDelete);
  stopAnswering();
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "al");
  EXPECT_FALSE(hasMark(settings, "AutoIntercom/Details", "Bobby"));
  EXPECT_FALSE(hasMark(settings, "QuickTransfer/Details", "Bobby"));
  ASSERT_TRUE(pumpUntil([&] { return mainList->count() == 1; }, 2s));

  // The window's close command closes it; 2001 opens a new one.
  window_->closeAddressBook();
  EXPECT_EQ(window_->findChild<AddressBookWindow*>(), nullptr);
  window_->runCommand(2001);
  EXPECT_NE(window_->findChild<AddressBookWindow*>(), nullptr);
  stop();
}

// The contacts of the book from `from` on.
std::vector<std::string> bookRows(size_t from = 0) {
  const std::vector<std::string> all =
      rowsOf(contacts::readContacts(*contacts::createContactStore()));
  return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
}

// Writes `count` contacts "`prefix`N" with the number N as a CSV file; answers their rows.
std::vector<std::string> writeCsv(const std::string& path, const std::string& prefix, int count) {
  std::ofstream out(path, std::ios::binary);
  std::vector<std::string> rows;
  for (int i = 0; i < count; ++i) {
    out << contacts::csvLine(prefix + std::to_string(i), std::to_string(i), "");
    rows.push_back(prefix + std::to_string(i) + "|" + std::to_string(i) + "|");
  }
  return rows;
}

TEST_F(WindowDialogsTest, CsvExportAndImportThroughTheDialogsLoseNothingAndCancelKeepsWhatCame) {
  fillBook(1000);
  start();
  window_->runCommand(2001);
  auto* book = window_->findChild<AddressBookWindow*>();
  ASSERT_NE(book, nullptr);
  // Picks `path` in the file dialog about to open and notes its title.
  QString title;
  const auto pickFile = [&](const std::string& path) {
    whenOpen<QFileDialog>([&title, path](QFileDialog* dialog) {
      title = dialog->windowTitle();
      chooseFile(dialog, QString::fromStdString(path));
      static_cast<QDialog*>(dialog)->accept();  // what Save or Open does
    });
  };
  const std::string exported = home_ + "/book.csv";
  { std::ofstream(exported) << "old\r\n"; }  // exists: asked before overwriting
  pickFile(exported);
  answerBoxes(QMessageBox::Yes);
  book->runCommand(AddressBookWindow::kExport);
  stopAnswering();
  EXPECT_EQ(title, "CSV File to Export To");
  EXPECT_TRUE(sawBox("Quillet", "The selected file already exists. Do you wish to overwrite it"));
  EXPECT_EQ(base::SettingsStore::global().readText("Settings", "SaveFolder"), home_);
  std::ifstream in(exported);
  std::vector<contacts::Contact> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(contacts::parseCsvLine(line));
  ASSERT_EQ(bookRows().size(), 1001u);  // with Bob of every window test
  EXPECT_EQ(rowsOf(lines), bookRows());

  // Import on the import thread: 10 000 new contacts (and the exported ones, already there)
  // with progress, while a timer on the GUI thread keeps firing.
  constexpr int kFresh = 10000;
  const std::vector<std::string> fresh = writeCsv(home_ + "/fresh.csv", "new, ", kFresh);
  QString progressTitle;
  int ticks = 0;
  int shownMaximum = 0;
  QSet<QString> names;
  auto* watch = new QTimer(book);
  QObject::connect(watch, &QTimer::timeout, watch, [&] {
    if (auto* progress = book->findChild<QProgressDialog*>(QStringLiteral("importProgress"));
        progress != nullptr && progress->isVisible()) {
      ++ticks;
      progressTitle = progress->windowTitle();
      names << progress->labelText();
      shownMaximum = progress->maximum();
    }
  });
  watch->start(1);
  pickFile(home_ + "/fresh.csv");
  book->runCommand(AddressBookWindow::kImport);
  EXPECT_EQ(title, "CSV File to Import Addresses from");
  EXPECT_EQ(progressTitle, "Import CSV File");
  EXPECT_GT(ticks, 5);              // the GUI thread ran while the file was read
  EXPECT_GT(names.size(), 2);       // the dialog followed the names read
  EXPECT_EQ(shownMaximum, kFresh);  // and the lines of the file
  EXPECT_EQ(book->list()->topLevelItemCount(), 1001 + kFresh);
  EXPECT_EQ(bookRows(1001), fresh);

  // Cancel (Escape) part way: the contacts read so far are kept.
  constexpr int kMore = 30000;  // more than the import reads between two looks of the dialog
  const std::vector<std::string> more = writeCsv(home_ + "/more.csv", "more ", kMore);
  watch->disconnect();
  QObject::connect(watch, &QTimer::timeout, watch, [&] {
    auto* progress = book->findChild<QProgressDialog*>(QStringLiteral("importProgress"));
    if (progress != nullptr && progress->isVisible() && progress->labelText().startsWith("more ")) {
      QTest::keyClick(progress, Qt::Key_Escape);  // what Cancel does
    }
  });
  pickFile(home_ + "/more.csv");
  book->runCommand(AddressBookWindow::kImport);
  // What came is whole: the first lines of the file, in order, in the list and the store.
  const std::vector<std::string> kept = bookRows(1001 + kFresh);
  EXPECT_EQ(book->list()->topLevelItemCount(), static_cast<int>(1001 + kFresh + kept.size()));
  ASSERT_GT(kept.size(), 0u);
  ASSERT_LT(kept.size(), more.size());
  EXPECT_EQ(kept, std::vector<std::string>(more.begin(), more.begin() + kept.size()));
  stop();
}

}  // namespace
}  // namespace quillet::ui::testing
