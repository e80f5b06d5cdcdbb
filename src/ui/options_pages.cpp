// SPDX-License-Identifier: Apache-2.0
// The Options pages. Most pages are a form of settings bound to their controls (check
// box, number or text); the Lines page adds its trimming, check and the Advanced Line
// Settings buttons, the Intercom page its allow list. The Hot Keys page is hot_keys_page.cpp.
#include "ui/options_pages.h"

#include <arpa/inet.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "app/allow_list.h"
#include "app/app_window.h"
#include "audio/recorder.h"
#include "audio/volume.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "contacts/item_splitter.h"
#include "net/public_address.h"
#include "net/stun_client.h"
#include "platform/audio_device.h"
#include "platform/message_loop.h"
#include "ui/accessibility.h"
#include "ui/codec_order_widget.h"
#include "ui/hot_keys_page.h"
#include "ui/line_settings_dialog.h"
#include "ui/qt_text.h"

namespace quillet::ui {

namespace {

constexpr const char* kPageTitles[kPageCount] = {
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "Recording / Playback"),
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "Quality"),
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "Lines"),
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "Ports"),
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "uPNP / STUN"),
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "Static IP"),
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "SIP/RTP Logging"),
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "Intercom"),
    QT_TRANSLATE_NOOP("quillet::ui::OptionsPageWidget", "Hot Keys"),
};

// A page whose controls each stand for one setting.
class BoundPage : public OptionsPageWidget {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit BoundPage(QWidget* parent) : OptionsPageWidget(parent), form_(new QFormLayout(this)) {}

  void load(base::SettingsStore& store) override {
    for (auto& binding : bindings_) binding.load(store);
  }
  void save(base::SettingsStore& store) override {
    for (auto& binding : bindings_) binding.save(store);
  }

 protected:
  struct Binding {
    std::function<void(base::SettingsStore&)> load;
    std::function<void(base::SettingsStore&)> save;
  };

  QCheckBox* addCheck(const QString& label, const char* section, const char* name, bool byDefault) {
    auto* box = new QCheckBox(label, this);
    box->setObjectName(QString::fromUtf8(name));
    form_->addRow(box);
    bindings_.push_back(
        {[=](base::SettingsStore& s) { box->setChecked(s.readBool(section, name, byDefault)); },
         [=](base::SettingsStore& s) { s.writeBool(section, name, box->isChecked()); }});
    return box;
  }

  QSpinBox* addNumber(const QString& label, const char* section, const char* name,
                      int32_t byDefault, int32_t low, int32_t high) {
    auto* spin = new QSpinBox(this);
    spin->setObjectName(QString::fromUtf8(name));
    spin->setRange(low, high);
    form_->addRow(label, spin);
    bindings_.push_back(
        {[=](base::SettingsStore& s) { spin->setValue(s.readInt(section, name, byDefault)); },
         [=](base::SettingsStore& s) { s.writeInt(section, name, spin->value()); }});
    return spin;
  }

  QLineEdit* addText(const QString& label, const char* section, const char* name,
                     std::string byDefault) {
    auto* field = new QLineEdit(this);
    field->setObjectName(QString::fromUtf8(name));
    field->setMaxLength(static_cast<int>(base::kMaxSettingChars));
    form_->addRow(label, field);
    bindings_.push_back({[=](base::SettingsStore& s) {
                           field->setText(toQString(s.readText(section, name, byDefault)));
                         },
                         [=](base::SettingsStore& s) {
                           s.writeText(section, name, toUtf8(field->text().trimmed()));
                         }});
    return field;
  }

  QFormLayout* form_;
  std::vector<Binding> bindings_;
};

// A device list: the stored name is selected (and added when the list lacks it).
QComboBox* deviceList(QWidget* parent, bool capture, const char* objectName) {
  auto* list = new QComboBox(parent);
  list->setObjectName(QString::fromUtf8(objectName));
  for (const std::string& name : platform::audioDeviceNames(capture)) {
    list->addItem(toQString(name));
  }
  return list;
}

void selectDevice(QComboBox* list, const std::string& stored) {
  if (stored.empty()) {
    list->setCurrentIndex(0);  // the default device comes first
    return;
  }
  const QString name = toQString(stored);
  if (list->findText(name) < 0) {
    list->addItem(name);
  }
  list->setCurrentIndex(list->findText(name));
}

// The sink of the level test: the Recorder meters each block; the sound itself goes nowhere.
class DiscardSink : public audio::AudioSink {
 public:
  DiscardSink() : AudioSink(8000, 1) {}
  void Write(const int32_t* /*samples*/, uint32_t /*frames*/) override {}
};

class RecordingPage : public BoundPage, private audio::RecorderListener {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit RecordingPage(QWidget* parent) : BoundPage(parent) {
    playDevice_ = deviceList(this, false, "PlayDevice");
    recordDevice_ = deviceList(this, true, "RecordDevice");
    channel_ = new QComboBox(this);
    channel_->setObjectName(QStringLiteral("RecordDeviceChannel"));
    form_->addRow(tr("&Playback device"), playDevice_);
    form_->addRow(tr("&Recording device"), recordDevice_);
    form_->addRow(tr("Input &channel"), channel_);
    channel_->setAccessibleDescription(
        tr("The input line of the recording device that the microphone is on"));
    // The level test: records from the chosen device and shows its level.
    test_ = new QPushButton(tr("&Test"), this);
    test_->setObjectName(QStringLiteral("levelTest"));
    test_->setToolTip(tr("Record from the chosen device and show its level"));
    meter_ = new QProgressBar(this);
    meter_->setObjectName(QStringLiteral("levelMeter"));
    meter_->setRange(kMeterFloor, kMeterTop);
    meter_->setValue(kMeterFloor);
    meter_->setTextVisible(false);
    setAccessible(meter_, tr("Recording level"),
                  tr("The level of the recording device while Test runs"));
    level_ = new QLabel(this);
    level_->setObjectName(QStringLiteral("levelText"));
    level_->setMinimumWidth(level_->fontMetrics().horizontalAdvance(QStringLiteral("-127 dB  ")));
    auto* row = new QHBoxLayout;
    row->addWidget(test_);
    row->addWidget(meter_, 1);
    row->addWidget(level_);
    form_->addRow(tr("Level"), row);
    addCheck(tr("Automatic &gain control"), "Settings", "UseAGC", true);
    addCheck(tr("&Echo cancellation"), "Settings", "UseEchoCancellation", true);
    addCheck(tr("&Noise suppression"), "Settings", "UseNoiseSuppression", true);
    connect(test_, &QPushButton::clicked, this, [this] { testing_ ? stopTest() : startTest(); });
    connect(recordDevice_, &QComboBox::currentTextChanged, this, [this] {
      stopTest();
      fillChannels(channel_->currentIndex());
    });
  }
  ~RecordingPage() override { stopTest(); }

  void load(base::SettingsStore& store) override {
    selectDevice(playDevice_, store.readText("Settings", "PlayDevice"));
    const base::DeviceSetting record = store.readDevice("Settings", "RecordDevice");
    selectDevice(recordDevice_, record.name);
    fillChannels(record.channel);
    recordVolume_ = store.readInt("Settings", "RecordVolume", 0);
    BoundPage::load(store);
  }
  void save(base::SettingsStore& store) override {
    stopTest();
    store.writeText("Settings", "PlayDevice", toUtf8(playDevice_->currentText()));
    store.writeDevice("Settings", "RecordDevice",
                      {toUtf8(recordDevice_->currentText()), channel_->currentIndex()});
    BoundPage::save(store);
  }

 protected:
  void hideEvent(QHideEvent* event) override {
    stopTest();  // another page, or the dialog closing
    BoundPage::hideEvent(event);
  }

 private:
  static constexpr int kMeterFloor = -60;  // dB at the left end, as the window's meters
  static constexpr int kMeterTop = 12;     // a full-scale signal

  // "Windows Record Mixer" and the device's input lines, keeping the selection.
  void fillChannels(int previous) {
    int selection = 0;
    const std::vector<std::string> lines =
        audio::InputChannelList(toUtf8(recordDevice_->currentText()), previous, selection);
    channel_->clear();
    for (const std::string& line : lines) channel_->addItem(toQString(line));
    channel_->setCurrentIndex(selection);
  }

  void startTest() {
    if (platform::guiLoop() == nullptr) return;  // no loop to report on
    recorder_ = std::make_unique<audio::Recorder>();
    recorder_->SetListener(this, 0);
    recorder_->SetDevice(toUtf8(recordDevice_->currentText()), channel_->currentIndex());
    recorder_->SetRecordVolume(std::clamp(recordVolume_, -127, 127));
    if (recorder_->Start(audio::SinkRef(new DiscardSink), 0, audio::kSilenceDb, 0,
                         audio::Recorder::kBeginStreaming) == 0) {
      recorder_.reset();
      level_->setText(tr("No sound"));
      base::logError("Level test: cannot record from ", toUtf8(recordDevice_->currentText()));
      return;
    }
    testing_ = true;
    test_->setText(tr("&Stop"));
  }

  void stopTest() {
    if (recorder_) {
      recorder_->Stop();
      recorder_.reset();
    }
    if (testing_) {
      testing_ = false;
      test_->setText(tr("&Test"));
      meter_->setValue(kMeterFloor);
      level_->clear();
    }
  }

  // audio::RecorderListener, on the GUI thread.
  void OnLevels(const audio::LevelReport* levels, uint32_t /*cookie*/) override {
    if (!testing_ || levels == nullptr || levels->count == 0) return;
    const int level = *std::max_element(levels->levels, levels->levels + levels->count);
    meter_->setValue(std::clamp(level, kMeterFloor, kMeterTop));
    level_->setText(level <= audio::kSilenceDb ? QStringLiteral("silent") : tr("%1 dB").arg(level));
  }
  void OnStopped(uint32_t /*cookie*/) override {
    // The device ended (a file) or failed: the test is over.
    if (testing_)
      QMetaObject::invokeMethod(
          this, [this] { stopTest(); }, Qt::QueuedConnection);
  }

  QComboBox* playDevice_;
  QComboBox* recordDevice_;
  QComboBox* channel_;
  QPushButton* test_;
  QProgressBar* meter_;
  QLabel* level_;
  int32_t recordVolume_ = 0;
  bool testing_ = false;
  std::unique_ptr<audio::Recorder> recorder_;
};

class QualityPage : public BoundPage {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit QualityPage(QWidget* parent) : BoundPage(parent) {
    auto* quality = new QSlider(Qt::Horizontal, this);
    quality->setObjectName(tr("Quality"));
    quality->setRange(0, 100);
    quality->setTickPosition(QSlider::TicksBelow);
    quality->setTickInterval(10);
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(tr("Lower bandwidth"), this));
    row->addWidget(quality, 1);
    row->addWidget(new QLabel(tr("Better sound"), this));
    auto* label = new QLabel(tr("Voice &quality"), this);
    label->setBuddy(quality);
    quality->setAccessibleDescription(tr("Left: lower bandwidth, right: better sound"));
    form_->addRow(label, row);
    bindings_.push_back(
        {[=](base::SettingsStore& s) { quality->setValue(s.readInt("SIP", "Quality", 50)); },
         [=](base::SettingsStore& s) { s.writeInt("SIP", "Quality", quality->value()); }});
    addCheck(tr("&Suppress the echo of the speaker"), "SIP", "EchoCancellation", true);
    auto* codecs = new CodecOrderWidget(this);
    auto* codecLabel = new QLabel(tr("&Codecs"), this);
    codecLabel->setBuddy(codecs->findChild<QListWidget*>());
    form_->addRow(codecLabel, codecs);
    // After the slider: the default order follows the quality.
    bindings_.push_back({[=](base::SettingsStore& s) { codecs->load(s); },
                         [=](base::SettingsStore& s) { codecs->save(s); }});
  }
};

class LinesPage : public OptionsPageWidget {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  LinesPage(base::SettingsStore& store, platform::Prompts& prompts, QWidget* parent)
      : OptionsPageWidget(parent), store_(store), prompts_(prompts) {
    displayName_ = field("DisplayName", tr("<Type your name here>"),
                         tr("Enter your name or any other information you want to use to identify "
                            "you to the other side of the call"));
    proxy_ = field("Proxy", tr("<Type the SIP server name here>"),
                   tr("Enter the SIP server name that was given to you by your SIP service "
                      "provider"));
    userName_ = field("UserName", tr("<Type number assigned by SIP provider>"),
                      tr("Enter the SIP number that you were assigned when you signed up with a "
                         "SIP service provider"));
    password_ = field("ProxyPassword", QString(), QString());
    password_->setEchoMode(QLineEdit::Password);
    password_->setAccessibleDescription(tr("The password of the SIP number"));
    auto* form = new QFormLayout;
    form->addRow(tr("&Display Name"), displayName_);
    form->addRow(tr("&Server Address"), proxy_);
    form->addRow(tr("SIP &Number"), userName_);
    form->addRow(tr("&Password"), password_);

    advanced_ =
        button("advancedLineSettings", tr("&Advanced Line Settings"), LineSettingsMode::Both);
    advanced_->setAccessibleDescription(
        tr("Outbound server, authentication user name, transport and TLS"));
    auto* buttons = new QHBoxLayout;
    auto* outbound =
        button("outboundServerButton", tr("&Outbound Server"), LineSettingsMode::OutboundServer);
    outbound->setAccessibleDescription(tr("The server that SIP requests go through"));
    buttons->addWidget(outbound);
    auto* authentication =
        button("userNameButton", tr("&User Name"), LineSettingsMode::Authentication);
    authentication->setAccessibleDescription(
        tr("The user name that the server authenticates, if not the SIP number"));
    buttons->addWidget(authentication);
    // The links lead to the help's pages on SIP services and PBX software.
    const QString help = QUrl::fromLocalFile(QStringLiteral(QUILLET_HELP_FILE)).toString();
    auto* links = new QLabel(tr("<a href=\"%1#sip-services\">SIP services</a> &nbsp; "
                                "<a href=\"%1#pbx-software\">PBX software</a>")
                                 .arg(help),
                             this);
    links->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(advanced_);
    layout->addLayout(buttons);
    layout->addWidget(links);
    layout->addStretch(1);
  }

  void load(base::SettingsStore& store) override {
    for (QLineEdit* f : {displayName_, proxy_, userName_, password_}) {
      f->setText(toQString(store.readText("DefaultLine", toUtf8(f->objectName()))));
    }
    showAdvancedCaption();
  }

  std::optional<PageProblem> check() override {
    for (QLineEdit* f : {displayName_, proxy_, userName_, password_}) {
      f->setText(f->text().trimmed());
    }
    if (displayName_->text().isEmpty()) {
      return PageProblem{displayName_, QT_TRANSLATE_NOOP("app", "Username Missing"),
                         QT_TRANSLATE_NOOP("app", "You must enter your username")};
    }
    return std::nullopt;
  }

  void save(base::SettingsStore& store) override {
    for (QLineEdit* f : {displayName_, proxy_, userName_, password_}) {
      store.writeText("DefaultLine", toUtf8(f->objectName()), toUtf8(f->text()));
    }
  }

 private:
  QLineEdit* field(const char* name, const QString& prompt, const QString& tip) {
    auto* f = new QLineEdit(this);
    f->setObjectName(QString::fromUtf8(name));
    f->setPlaceholderText(prompt);  // shown while empty, never read
    f->setToolTip(tip);
    f->setMaxLength(static_cast<int>(base::kMaxSettingChars));
    return f;
  }

  QPushButton* button(const char* name, const QString& text, LineSettingsMode mode) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(QString::fromUtf8(name));
    connect(b, &QPushButton::clicked, this, [this, mode] {
      LineSettingsDialog dialog(this, store_, prompts_, mode);
      if (dialog.exec() == QDialog::Accepted) {
        showAdvancedCaption();
      }
    });
    return b;
  }

  void showAdvancedCaption() {
    const bool modified = lineSettingsModified(store_);
    advanced_->setText(modified ? tr("&Advanced Line Settings [Modified]")
                                : tr("&Advanced Line Settings"));
    QFont font = advanced_->font();
    font.setBold(modified);
    advanced_->setFont(font);
  }

  base::SettingsStore& store_;
  platform::Prompts& prompts_;
  QLineEdit* displayName_;
  QLineEdit* proxy_;
  QLineEdit* userName_;
  QLineEdit* password_;
  QPushButton* advanced_;
};

// RTP takes the even port of a pair, RTCP the odd one above it.
std::optional<PageProblem> evenPortBase(QSpinBox* base) {
  if (base->value() % 2 != 0) {
    return PageProblem{base, QT_TRANSLATE_NOOP("app", "Invalid RTP Port"),
                       QT_TRANSLATE_NOOP("app", "The RTP port base must be an even number.")};
  }
  return std::nullopt;
}

class PortsPage : public BoundPage {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit PortsPage(QWidget* parent) : BoundPage(parent) {
    sipPort_ = addNumber(tr("&SIP port"), "SIP", "Port", 5070, 1, 65535);
    tlsPort_ = addNumber(tr("SIP &TLS port"), "SIP", "TLSPort", 5071, 0, 65535);
    tlsPort_->setSpecialValueText(QStringLiteral("none"));  // 0: no incoming TLS
    rtpBase_ = addNumber(tr("&RTP port base"), "SIP", "RTPPortBase", 8000, 1024, 65534);
    sipPort_->setAccessibleDescription(tr("The port that SIP listens on"));
    tlsPort_->setAccessibleDescription(
        tr("The port that SIP over TLS listens on; none: no incoming TLS"));
    rtpBase_->setAccessibleDescription(tr("The first port of the sound of calls; an even number"));
  }
  std::optional<PageProblem> check() override {
    // TLS listens on a port of its own, beside the SIP port.
    if (tlsPort_->value() != 0 && tlsPort_->value() == sipPort_->value()) {
      return PageProblem{
          tlsPort_, QT_TRANSLATE_NOOP("app", "Invalid TLS Port"),
          QT_TRANSLATE_NOOP("app", "The SIP TLS port must differ from the SIP port.")};
    }
    return evenPortBase(rtpBase_);
  }

 private:
  QSpinBox* sipPort_;
  QSpinBox* tlsPort_;
  QSpinBox* rtpBase_;
};

class StunPage : public BoundPage {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit StunPage(QWidget* parent) : BoundPage(parent) {
    addCheck(tr("Use &UPnP to map the ports on the router"), "SIP", "UPNP", false);
    addCheck(tr("Use S&TUN to find the public address"), "SIP", "STUN", true);
    addText(tr("STUN server &1"), "SIP", "STUNServer1", net::builtInStunServers()[0]);
    addText(tr("STUN server &2"), "SIP", "STUNServer2", net::builtInStunServers()[1]);
    addCheck(tr("Look the public address up over &HTTP"), "SIP", "HTTP", false);
    addText(tr("HTTP &lookup address"), "SIP", "HTTPServer", net::NatSettings::kDefaultHttpServer);
  }
};

class StaticIpPage : public BoundPage {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit StaticIpPage(QWidget* parent) : BoundPage(parent) {
    static_ = addCheck(tr("Use a &static public address and port mapping"), "SIP", "STATIC", false);
    address_ = addText(tr("Public &IP address"), "SIP", "STATICPublicIP", "");
    addNumber(tr("Public SI&P port"), "SIP", "STATICSIPPort", 5070, 1, 65535)
        ->setAccessibleDescription(tr("The router's port that is mapped to the SIP port"));
    rtpBase_ =
        addNumber(tr("Public &RTP port base"), "SIP", "STATICRTPPortBase", 8000, 1024, 65534);
    rtpBase_->setAccessibleDescription(
        tr("The router's first port mapped to the RTP ports; an even number"));
  }
  std::optional<PageProblem> check() override {
    in_addr address{};
    const std::string text = toUtf8(address_->text().trimmed());
    if (static_->isChecked() && inet_pton(AF_INET, text.c_str(), &address) != 1) {
      return PageProblem{
          address_, QT_TRANSLATE_NOOP("app", "Invalid Public Address"),
          QT_TRANSLATE_NOOP("app", "Please enter the public IP address of the static mapping.")};
    }
    return evenPortBase(rtpBase_);
  }

 private:
  QCheckBox* static_;
  QLineEdit* address_;
  QSpinBox* rtpBase_;
};

class LoggingPage : public BoundPage {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit LoggingPage(QWidget* parent) : BoundPage(parent) {
    addCheck(tr("Write the &SIP trace file"), "Settings", "SipTraceOn", false);
    addCheck(tr("Trace &RTP packets as well"), "Settings", "SipTraceAudioOn", false);
  }
};

// Intercom/Allow holds the entries as one list text, split like CSV items.
QString joinAllowList(const QStringList& entries) {
  QStringList quoted;
  for (QString entry : entries) {
    // An empty item (it matches every caller) is written quoted, so that it is kept even
    // last in the list.
    if (entry.isEmpty() || entry.contains(u',') || entry.contains(u'"')) {
      entry = QStringLiteral("\"%1\"").arg(entry.replace(u'"', QStringLiteral("\"\"")));
    }
    quoted << entry;
  }
  return quoted.join(u',');
}

class IntercomPage : public BoundPage {
  Q_DECLARE_TR_FUNCTIONS(quillet::ui::OptionsPageWidget)

 public:
  explicit IntercomPage(QWidget* parent) : BoundPage(parent) {
    allowAll_ = addCheck(tr("Accept intercom calls from &everybody"), "Intercom", "AllowAll", true);
    entries_ = new QListWidget(this);
    entries_->setObjectName(tr("Allow"));
    auto* label = new QLabel(tr("&Only from addresses containing:"), this);
    label->setBuddy(entries_);
    entries_->setAccessibleDescription(
        tr("Intercom calls are accepted from callers whose address contains an "
           "entry of this list"));
    form_->addRow(label);
    form_->addRow(entries_);
    entry_ = new QLineEdit(this);
    entry_->setObjectName(QStringLiteral("allowEntry"));
    entry_->setPlaceholderText(tr("user@host, host or number"));
    setAccessible(entry_, tr("Address to allow"),
                  tr("user@host, host or number; Add puts it on the list"));
    auto* add = new QPushButton(tr("&Add"), this);
    add->setObjectName(QStringLiteral("allowAdd"));
    add->setAccessibleDescription(tr("Adds the address to allow to the list"));
    auto* remove = new QPushButton(tr("Re&move"), this);
    remove->setObjectName(QStringLiteral("allowRemove"));
    remove->setAccessibleDescription(tr("Removes the selected entry from the list"));
    auto* row = new QHBoxLayout;
    row->addWidget(entry_, 1);
    row->addWidget(add);
    row->addWidget(remove);
    form_->addRow(row);
    addCheck(tr("&Talk back automatically on an intercom call"), "Intercom", "AutoTalkBack", false);
    addCheck(tr("Let a second call &wait while a call is up"), "Settings", "CallWaiting", true);
    connect(add, &QPushButton::clicked, this, [this] {
      const QString text = entry_->text().trimmed();
      if (!text.isEmpty()) {
        addEntry(text);
        entry_->clear();
      }
    });
    connect(remove, &QPushButton::clicked, this, [this] { delete entries_->currentItem(); });
    connect(allowAll_, &QCheckBox::toggled, this, [this](bool all) { entries_->setEnabled(!all); });
  }
  void load(base::SettingsStore& store) override {
    BoundPage::load(store);
    entries_->clear();
    for (const std::string& item : app::readAllowList(store)) addEntry(toQString(item));
    entries_->setEnabled(!allowAll_->isChecked());
  }
  void save(base::SettingsStore& store) override {
    BoundPage::save(store);
    QStringList entries;
    for (int i = 0; i < entries_->count(); ++i)
      entries << entries_->item(i)->data(Qt::UserRole).toString();
    store.writeText("Intercom", "Allow", toUtf8(joinAllowList(entries)));
  }

 private:
  // A row of the list; the item as matched is its data, an empty one is shown by what it does.
  void addEntry(const QString& item) {
    auto* row = new QListWidgetItem(item.isEmpty() ? tr("(any caller)") : item);
    row->setData(Qt::UserRole, item);
    entries_->addItem(row);
  }

  QCheckBox* allowAll_;
  QListWidget* entries_;
  QLineEdit* entry_;
};

}  // namespace

QString optionsPageTitle(int32_t index) {
  return OptionsPageWidget::tr(kPageTitles[index]);
}

OptionsPageWidget* makeOptionsPage(int32_t index, base::SettingsStore& store,
                                   platform::Prompts& prompts, QWidget* parent) {
  switch (index) {
    case kPageRecording:
      return new RecordingPage(parent);
    case kPageQuality:
      return new QualityPage(parent);
    case kPageLines:
      return new LinesPage(store, prompts, parent);
    case kPagePorts:
      return new PortsPage(parent);
    case kPageStunUpnp:
      return new StunPage(parent);
    case kPageStaticIp:
      return new StaticIpPage(parent);
    case kPageLogging:
      return new LoggingPage(parent);
    case kPageIntercom:
      return new IntercomPage(parent);
    default:
      return makeHotKeysPage(parent);
  }
}

}  // namespace quillet::ui
