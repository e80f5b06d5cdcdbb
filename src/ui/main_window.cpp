// SPDX-License-Identifier: Apache-2.0
// The main window's controls, menus, command table and keyboard filter.
#include "ui/main_window.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/intercom_app.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "ui/accessibility.h"
#include "ui/call_history_widget.h"
#include "ui/calls_panel.h"
#include "ui/desktop_notices.h"
#include "ui/desktop_theme.h"
#include "ui/dialogs.h"
#include "ui/global_hot_keys.h"
#include "ui/log_view_widget.h"
#include "ui/page_panel.h"
#include "ui/qt_text.h"
#include "ui/transport_label.h"
#include "ui/tray_icon.h"
#include "ui/x11_activation.h"

namespace quillet::ui {

namespace {

constexpr int kMeterFloor = -60;  // dB shown at the left end of a meter
constexpr int kMeterTop = 12;     // a full-scale signal
constexpr int kMinContactListHeight = 120;

base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

// Commands that wait while a call is up.
constexpr int32_t kCallLockedCommands[] = {
    app::kCommandDoNotDisturb, app::kCommandOptions,      1012,
    kCommandNetworkWizard,     app::kCommandAddressBook,  app::kCommandAddContact,
    app::kCommandEditContact,  app::kCommandDeleteContact};

QProgressBar* makeMeter(QWidget* parent, int id, const QString& tip) {
  auto* meter = new QProgressBar(parent);
  meter->setObjectName(QStringLiteral("control%1").arg(id));
  meter->setRange(kMeterFloor, kMeterTop);
  meter->setValue(kMeterFloor);
  meter->setTextVisible(false);
  meter->setMaximumHeight(10);
  meter->setToolTip(tip);
  return meter;
}

QSlider* makeVolume(QWidget* parent, int id, const QString& tip) {
  auto* slider = new QSlider(Qt::Horizontal, parent);
  slider->setObjectName(QStringLiteral("control%1").arg(id));
  slider->setRange(-127, 127);
  slider->setSingleStep(1);
  slider->setPageStep(8);
  slider->setToolTip(tip);
  return slider;
}

}  // namespace

MainWindow::MainWindow(platform::ProfilePaths paths, platform::Prompts& prompts,
                       std::unique_ptr<Dialogs> dialogs)
    : paths_(std::move(paths)), prompts_(prompts), dialogs_(std::move(dialogs)) {
  setObjectName(QStringLiteral("LMainWindow"));
  setWindowTitle(QStringLiteral("Quillet"));
  setWindowIcon(QIcon::fromTheme(QStringLiteral("quillet"), stateIcon(QStringLiteral("idle"), 0)));
  buildControls();
  buildMenus();
  nameControls(this);
  hotKeys_ = GlobalHotKeys::create([this](int32_t id) {
    if (app_ != nullptr) {
      app_->runHotKey(id);
      updateUserInterface();
    }
  });
  notices_ = new DesktopNotices(this);
  new DesktopTheme(this);
  tray_ = new TrayIcon(this);
  qApp->installEventFilter(this);
  applyTheme();
  layOut();
  resize(440, 640);
  // The window fills the screen, as on the handheld; hidden and shown again it keeps that.
  setWindowState(Qt::WindowMaximized);
}

MainWindow::~MainWindow() {
  // A button held down is let go as its window goes (it loses the focus): its release must
  // not reach the commands of a window half taken down.
  intercom_->disconnect(this);
  qApp->removeEventFilter(this);
}

void MainWindow::attach(app::IntercomApp* app) {
  app_ = app;
  updateUserInterface();
}

bool MainWindow::callActive() const {
  return app_ != nullptr && app_->callActive();
}

// --- Controls and menus -------------------------------------------------------------------

void MainWindow::buildControls() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(6, 6, 6, 6);

  banner_ = new QLabel(central);
  banner_->setObjectName(QStringLiteral("banner"));
  banner_->setAlignment(Qt::AlignCenter);
  banner_->setWordWrap(true);
  callLock_ = new QLabel(central);
  callLock_->setObjectName(QStringLiteral("callLock"));
  callLock_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  callLock_->setVisible(false);
  auto* bannerRow = new QHBoxLayout;
  bannerRow->addWidget(callLock_);
  bannerRow->addWidget(banner_, 1);
  layout->addLayout(bannerRow);

  contacts_ = new QComboBox(central);
  contacts_->setObjectName(QStringLiteral("control130"));
  contacts_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(contacts_, &QComboBox::customContextMenuRequested, this,
          [this] { runCommand(kCommandContactMenu); });
  connect(contacts_, &QComboBox::currentIndexChanged, this,
          [this] { runCommand(kCommandContactSelection); });
  setAccessible(contacts_, tr("Contacts"),
                tr("The contact that Intercom calls; its context menu adds, edits and "
                   "deletes contacts"));
  layout->addWidget(contacts_);

  auto* buttons = new QHBoxLayout();
  intercom_ = new QPushButton(tr("Intercom (F5)"), central);
  intercom_->setObjectName(QStringLiteral("control115"));
  intercom_->setToolTip(tr("Intercom (F5)"));
  intercom_->setMinimumHeight(56);
  intercom_->setIconSize(QSize(24, 24));
  setAccessible(intercom_, spokenText(intercom_->text()),
                tr("Calls the selected contact, whose loudspeaker plays you at once; "
                   "the microphone is live while the button is held. Key: F5"));
  // Push-to-talk: the microphone is live while the button is held down.
  connect(intercom_, &QPushButton::pressed, this,
          [this] { runCommand(app::kCommandIntercomDown); });
  connect(intercom_, &QPushButton::released, this, [this] { runCommand(app::kCommandIntercomUp); });
  doNotDisturb_ = new QPushButton(tr("Do Not Disturb"), central);
  doNotDisturb_->setObjectName(QStringLiteral("control119"));
  doNotDisturb_->setToolTip(tr("Click to turn off incoming calls (Ctrl+U)"));
  doNotDisturb_->setCheckable(true);
  doNotDisturb_->setMinimumHeight(56);
  doNotDisturb_->setAccessibleDescription(
      tr("While pressed, incoming calls are turned away. Key: Ctrl+U"));
  connect(doNotDisturb_, &QPushButton::clicked, this, [this] {
    // The button shows the switch; the application decides and sets it again.
    doNotDisturb_->setChecked(!doNotDisturb_->isChecked());
    runCommand(app::kCommandDoNotDisturb);
  });
  hold_ = new QPushButton(tr("Hold"), central);
  hold_->setObjectName(QStringLiteral("hold"));
  hold_->setToolTip(tr("Put the call on hold, or resume it"));
  hold_->setMinimumHeight(56);
  hold_->setEnabled(false);
  hold_->setAccessibleDescription(
      tr("Puts the connected call on hold: the far end hears a soft tone or silence and "
         "you hear nothing. Press again to resume."));
  connect(hold_, &QPushButton::clicked, this, [this] { runCommand(app::kCommandHold); });
  refuse_ = new QPushButton(tr("Refuse"), central);
  refuse_->setObjectName(QStringLiteral("refuse"));
  refuse_->setToolTip(tr("Refuse the ringing call"));
  refuse_->setMinimumHeight(56);
  refuse_->setVisible(false);
  connect(refuse_, &QPushButton::clicked, this, [this] { runCommand(app::kCommandRefuse); });
  buttons->addWidget(intercom_, 2);
  buttons->addWidget(refuse_, 1);
  buttons->addWidget(hold_, 1);
  buttons->addWidget(doNotDisturb_, 1);
  layout->addLayout(buttons);
  pagePanel_ = new PagePanel(central);
  connect(pagePanel_, &PagePanel::stopRequested, this,
          [this] { runCommand(app::kCommandStopPage); });
  layout->addWidget(pagePanel_);
  callsPanel_ = new CallsPanel(central);
  connect(callsPanel_, &CallsPanel::commandRequested, this,
          [this](int32_t command) { runCommand(command); });
  layout->addWidget(callsPanel_);

  auto* levels = new QGridLayout();
  speakerMeter_ = makeMeter(central, 140, tr("Speaker Volume Level Meter"));
  microphoneMeter_ = makeMeter(central, 141, tr("Microphone Volume Level Meter"));
  playVolume_ = makeVolume(central, 142, tr("Speaker Volume Control"));
  recordVolume_ = makeVolume(central, 143, tr("Microphone Volume Control"));
  setAccessible(speakerMeter_, tr("Speaker level"), tr("How loud the far end plays"));
  setAccessible(microphoneMeter_, tr("Microphone level"), tr("How loud the microphone hears you"));
  setAccessible(playVolume_, tr("Speaker volume"), tr("How loud calls play on the speaker"));
  setAccessible(recordVolume_, tr("Microphone volume"), tr("How much the microphone is amplified"));
  levels->addWidget(new QLabel(tr("Speaker"), central), 0, 0);
  levels->addWidget(speakerMeter_, 0, 1);
  levels->addWidget(playVolume_, 1, 1);
  levels->addWidget(new QLabel(tr("Microphone"), central), 2, 0);
  levels->addWidget(microphoneMeter_, 2, 1);
  levels->addWidget(recordVolume_, 3, 1);
  layout->addLayout(levels);
  connect(playVolume_, &QSlider::valueChanged, this, [this](int value) {
    if (app_ != nullptr) {
      app_->setVolume(true, value);
    }
  });
  connect(recordVolume_, &QSlider::valueChanged, this, [this](int value) {
    if (app_ != nullptr) {
      app_->setVolume(false, value);
    }
  });

  logView_ = new LogViewWidget(central);
  connect(logView_, &LogViewWidget::menuRequested, this,
          [this](const QPoint& at) { mainMenu_->popup(at); });
  setAccessible(logView_, tr("Log"),
                tr("What Quillet did, newest last; its context menu is the main menu"));
  history_ = new CallHistoryWidget(central);
  connect(history_, &CallHistoryWidget::callBackRequested, this,
          [this] { runCommand(app::kCommandCallBack); });
  auto* pages = new QTabWidget(central);
  pages->setObjectName(QStringLiteral("pages"));
  pages->setDocumentMode(true);
  pages->addTab(logView_, tr("Log"));
  pages->addTab(history_, tr("Calls"));
  layout->addWidget(pages, 1);

  statusPanel_ = new QWidget(central);
  statusPanel_->setObjectName(QStringLiteral("statusPanel"));
  auto* status = new QHBoxLayout(statusPanel_);
  status->setContentsMargins(0, 0, 0, 0);
  QFont arial(QStringLiteral("Arial"));
  for (QLabel** label : {&displayName_, &address_, &userName_}) {
    *label = new QLabel(statusPanel_);
    (*label)->setFont(arial);
    status->addWidget(*label);
  }
  displayName_->setObjectName(QStringLiteral("statusName"));
  address_->setObjectName(QStringLiteral("statusAddress"));
  userName_->setObjectName(QStringLiteral("statusUser"));
  transport_ = new TransportLabel(statusPanel_);
  transport_->nameLabel()->setFont(arial);
  status->addWidget(transport_);
  callQuality_ = new QLabel(statusPanel_);
  callQuality_->setObjectName(QStringLiteral("statusCallQuality"));
  callQuality_->setFont(arial);
  callQuality_->setVisible(false);
  // The figures take the room the panel has: a call must not widen the window.
  callQuality_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setAccessible(callQuality_, tr("Call quality"),
                tr("The running call's codec, packets sent, received and lost, jitter and "
                   "round trip, renewed every second"));
  status->addWidget(callQuality_);
  lineProblem_ = new QLabel(central);
  lineProblem_->setObjectName(QStringLiteral("lineProblem"));
  lineProblem_->setWordWrap(true);
  lineProblem_->setVisible(false);
  layout->addWidget(lineProblem_);
  layout->addWidget(makeVoicemailIndicator(central));
  layout->addWidget(statusPanel_);
  setCentralWidget(central);
}

QAction* MainWindow::addCommand(QMenu* menu, const QString& text, int32_t id, bool checkable) {
  QAction* item = menu->addAction(text);
  item->setData(id);
  item->setCheckable(checkable);
  connect(item, &QAction::triggered, this, [this, id] { runCommand(id); });
  actions_[id].push_back(item);
  return item;
}

void MainWindow::buildMenus() {
  QMenu* file = menuBar()->addMenu(tr("File"));
  addCommand(file, tr("Intercom"), app::kCommandIntercom, true);
  addCommand(file, tr("Phone Call"), app::kCommandPhoneCall)
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  addCommand(file, tr("Do Not Disturb"), app::kCommandDoNotDisturb, true);
  addCommand(file, tr("Hold"), app::kCommandHold, true)->setEnabled(false);
  addCommand(file, tr("Voicemail"), app::kCommandVoicemail);
  addCommand(file, tr("Page"), app::kCommandPage, true)
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  addCommand(file, tr("O&ptions..."), app::kCommandOptions);
  addCommand(file, tr("Network Wizard..."), kCommandNetworkWizard);
  QMenu* contacts = file->addMenu(tr("Contacts"));
  addCommand(contacts, tr("&Add Contact"), app::kCommandAddContact);
  addCommand(contacts, tr("&Edit Contact"), app::kCommandEditContact);
  addCommand(contacts, tr("&Delete Contact"), app::kCommandDeleteContact);
  addCommand(file, tr("Address Book"), app::kCommandAddressBook);
  QMenu* view = file->addMenu(tr("View"));
  addCommand(view, tr("Status Panel"), kCommandShowStatus, true);
  addCommand(view, tr("Tool Bar"), kCommandShowToolBar, true);
  addCommand(view, tr("Logs Folder"), kCommandOpenLogs);
  file->addSeparator();
  addCommand(file, tr("Hide"), kCommandHide);
  addCommand(file, tr("E&xit"), app::kCommandExit);
  QMenu* help = menuBar()->addMenu(tr("Help"));
  addCommand(help, tr("Help Contents"), kCommandHelpContents);
  addCommand(help, tr("About Quillet ..."), kCommandAbout);

  mainMenu_ = new QMenu(this);
  mainMenu_->setObjectName(QStringLiteral("mainMenu"));
  mainMenu_->addMenu(file);
  mainMenu_->addMenu(help);

  contactMenu_ = new QMenu(this);
  contactMenu_->setObjectName(QStringLiteral("contactMenu"));
  addCommand(contactMenu_, tr("&Add..."), app::kCommandAddContact);
  addCommand(contactMenu_, tr("&Edit..."), app::kCommandEditContact);
  addCommand(contactMenu_, tr("&Delete..."), app::kCommandDeleteContact);

  toolBar_ = new QToolBar(tr("Tool Bar"), this);
  toolBar_->setObjectName(QStringLiteral("toolBar"));
  toolBar_->setMovable(false);
  for (int32_t id : {app::kCommandIntercom, app::kCommandDoNotDisturb, app::kCommandOptions}) {
    toolBar_->addAction(actions_[id].front());
  }
  addToolBar(toolBar_);
}

QAction* MainWindow::action(int32_t id) const {
  auto it = actions_.find(id);
  return it == actions_.end() ? nullptr : it->second.front();
}

void MainWindow::layOut() {
  base::SettingsStore& store = settings();
  const bool showStatus = store.readBool("Settings", "ShowStatus", false);
  const bool showToolBar = store.readBool("Settings", "ShowToolBar", true);
  statusPanel_->setVisible(showStatus);
  toolBar_->setVisible(showToolBar);
  action(kCommandShowStatus)->setChecked(showStatus);
  action(kCommandShowToolBar)->setChecked(showToolBar);
  contacts_->setMinimumHeight(std::max(contacts_->sizeHint().height(), 28));
  // The contact list's drop-down keeps room for at least 120 pixels of rows.
  contacts_->view()->setMinimumHeight(kMinContactListHeight);
}

void MainWindow::updateUserInterface() {
  const bool inCall = callActive();
  for (int32_t id : kCallLockedCommands) {
    auto it = actions_.find(id);
    if (it != actions_.end()) {
      for (QAction* item : it->second) {
        item->setEnabled(!inCall);
      }
    }
  }
  const bool selected = contacts_->currentIndex() >= 0;
  for (int32_t id : {app::kCommandEditContact, app::kCommandDeleteContact}) {
    for (QAction* item : actions_[id]) {
      item->setEnabled(!inCall && selected);
    }
  }
  emit statusChanged();
}

// --- Commands -----------------------------------------------------------------------------

void MainWindow::runCommand(int32_t id) {
  switch (id) {
    case kCommandHide:
      hide();
      break;
    case kCommandNetworkWizard:
      networkWizard();
      break;
    case kCommandOpenLogs:
      openPath(toQString(paths_.logsDir()));
      break;
    case kCommandShowStatus:
    case kCommandShowToolBar: {
      const char* name = id == kCommandShowStatus ? "ShowStatus" : "ShowToolBar";
      const bool shown = settings().readBool("Settings", name, id == kCommandShowToolBar);
      settings().writeBool("Settings", name, !shown);
      layOut();
      break;
    }
    case kCommandContactSelection:
      break;  // the update below enables Edit and Delete by the selection
    case kCommandContactMenu:
      updateUserInterface();
      contactMenu_->popup(QCursor::pos());
      break;
    case kCommandMainMenu:
      mainMenu_->popup(QCursor::pos());
      break;
    case kCommandHelpContents:
    case kCommandHelpIndex:
    case kCommandHelpStart:
    case kCommandHelpCalls:
    case kCommandHelpNetwork:
    case kCommandHelpContacts:
      openHelp(id);
      break;
    case kCommandAbout:
      showAbout();
      break;
    case app::kCommandShow:
    case app::kMessageShow:
      show();
      break;
    default:
      if (app_ != nullptr) {
        app_->command(id);
      }
      break;
  }
  updateUserInterface();
}

void MainWindow::postMessage(int32_t id, int32_t parameter) {
  QMetaObject::invokeMethod(
      this,
      [this, id, parameter] {
        if (id == kMessageSelectRow) {
          selectRow(parameter);
          updateUserInterface();
        } else {
          runCommand(id);
        }
      },
      Qt::QueuedConnection);
}

// --- Keys ---------------------------------------------------------------------------------

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::KeyPress && type != QEvent::KeyRelease) {
    return false;
  }
  // Only keys of the main window itself: dialogs and message boxes keep theirs.
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || widget->window() != this ||
      QApplication::activeModalWidget() != nullptr) {
    return false;
  }
  auto* key = static_cast<QKeyEvent*>(event);
  // Where the hot keys cannot be global they are keys of this window, before its own.
  if ((hotKeys_ && hotKeys_->windowKey(*key)) || filterKey(key, type == QEvent::KeyPress)) {
    updateUserInterface();
    return true;
  }
  return false;
}

bool MainWindow::filterKey(QKeyEvent* key, bool press) {
  if (key->key() == Qt::Key_F5) {
    // F5 is the Intercom button's key: held down, the microphone is live.
    if (key->isAutoRepeat()) {
      return true;
    }
    if (press != f5Down_) {
      f5Down_ = press;
      runCommand(press ? app::kCommandIntercomDown : app::kCommandIntercomUp);
    }
    return true;
  }
  if (!press || key->isAutoRepeat()) {
    return false;
  }
  if (key->modifiers() == Qt::ControlModifier && key->key() == Qt::Key_U) {
    runCommand(app::kCommandDoNotDisturb);  // the Do Not Disturb button's key
    return true;
  }
  if ((key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) != 0) {
    return false;
  }
  switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      mainMenu_->popup(QCursor::pos());
      return true;
    case Qt::Key_1:
      postMessage(app::kCommandIntercom);
      return true;
    case Qt::Key_2:
      postMessage(app::kCommandDoNotDisturb);
      return true;
    case Qt::Key_3:
      postMessage(app::kCommandOptions);
      return true;
    case Qt::Key_4:
      postMessage(kCommandNetworkWizard);
      return true;
    case Qt::Key_6:
      if (prompts_.ask({QT_TRANSLATE_NOOP("app", "Exit"),
                        QT_TRANSLATE_NOOP("app", "Are you sure to exit Quillet ?"),
                        platform::PromptButtons::YesNo, platform::PromptIcon::Question, "exit"}) ==
          platform::PromptAnswer::Yes) {
        postMessage(app::kCommandExit);
      }
      return true;
    default:
      return false;
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The program itself never closes its window (it ends through 1126 and destroys it),
  // so a close comes from the user.
  event->ignore();
  const platform::PromptAnswer answer = prompts_.ask(
      {QT_TRANSLATE_NOOP("app", "Confirm Exit"),
       QT_TRANSLATE_NOOP("app",
                         "Do you want Quillet to continue to receive intercoms in the background?"),
       platform::PromptButtons::YesNo, platform::PromptIcon::Question, "confirm-exit"});
  if (answer == platform::PromptAnswer::Yes) {
    hide();
  } else if (answer == platform::PromptAnswer::No) {
    postMessage(app::kMessageClose);
  }
}

void MainWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ThemeChange) {
    applyTheme();
  }
  QMainWindow::changeEvent(event);
}

void MainWindow::applyTheme() {
  // The banner follows the desktop's light or dark scheme; the log view stays dark.
  const bool dark = palette().color(QPalette::Window).lightness() < 128;
  banner_->setStyleSheet(dark ? QStringLiteral("color: #9ecbff; font-weight: bold;")
                              : QStringLiteral("color: #1d4f91; font-weight: bold;"));
  lineProblem_->setStyleSheet(dark ? QStringLiteral("color: #ff8a80;")
                                   : QStringLiteral("color: #b3261e;"));
}

// --- AppWindow ----------------------------------------------------------------------------

void MainWindow::show() {
  missedCalls_ = 0;  // the user has seen the window
  // Restored from minimised or hidden, the window keeps its maximised state.
  setWindowState(windowState() & ~Qt::WindowMinimized);
  QMainWindow::show();
  raise();
  activateWindow();
  activateOnX11(this);
  emit statusChanged();
}

void MainWindow::hide() {
  QMainWindow::hide();
  emit statusChanged();
}

bool MainWindow::visible() const {
  return isVisible();
}

void MainWindow::setContactRows(const std::vector<std::string>& rows) {
  const QSignalBlocker blocker(contacts_);
  contacts_->clear();
  for (const std::string& row : rows) {
    contacts_->addItem(toQString(row));
  }
  contacts_->setCurrentIndex(-1);
  updateUserInterface();
}

int32_t MainWindow::selectedRow() const {
  return contacts_->currentIndex();
}

void MainWindow::selectRow(int32_t row) {
  contacts_->setCurrentIndex(row >= 0 && row < contacts_->count() ? row : -1);
}

void MainWindow::enableContactList(bool enabled) {
  contacts_->setEnabled(enabled);
}

void MainWindow::showContactHint(const std::string& text) {
  contacts_->setPlaceholderText(appText(text));
  base::logInfo(text);
}

void MainWindow::setIntercomButton(app::IntercomButtonState state, const std::string& text) {
  buttonState_ = state;
  intercom_->setText(appText(text));
  intercom_->setAccessibleName(spokenText(intercom_->text()));
  QStyle::StandardPixmap picture = QStyle::SP_MediaPlay;
  if (state == app::IntercomButtonState::InCall) {
    picture = QStyle::SP_MediaStop;
  } else if (state == app::IntercomButtonState::Disabled) {
    picture = QStyle::SP_MediaPause;
  }
  intercom_->setIcon(style()->standardIcon(picture));
  emit statusChanged();
}

void MainWindow::setHoldButton(bool enabled, bool held) {
  hold_->setEnabled(enabled);
  hold_->setText(held ? tr("Resume") : tr("Hold"));
  if (QAction* item = action(app::kCommandHold)) {
    item->setEnabled(enabled);
    item->setChecked(held);
  }
}

void MainWindow::setDoNotDisturbButton(bool pressed) {
  doNotDisturb_->setChecked(pressed);
  emit statusChanged();
}

void MainWindow::checkMenuItem(int32_t command, bool checked) {
  auto it = actions_.find(command);
  if (it != actions_.end()) {
    for (QAction* item : it->second) {
      item->setChecked(checked);
    }
  }
  updateUserInterface();  // the call state changes with these checks
}

void MainWindow::setLineStatus(const std::string& displayName, const std::string& userName,
                               const std::string& address) {
  displayName_->setText(toQString(displayName));
  address_->setText(tr("IP: %1").arg(toQString(address)));
  userName_->setText(tr("SIP: %1").arg(toQString(userName)));
}

void MainWindow::setCallQuality(const sip::CallFigures* figures) {
  callQuality_->setVisible(figures != nullptr);
  if (figures == nullptr) {
    callQuality_->clear();
    return;
  }
  const media::CallQuality& q = figures->quality;
  callQuality_->setText(
      tr("%1: sent %2, received %3, lost %4 (%5 %), jitter %6 ms, round trip %7")
          .arg(figures->codec.empty() ? tr("Call") : toQString(figures->codec),
               QString::number(q.packetsSent), QString::number(q.packetsReceived),
               QString::number(q.packetsLost), QLocale().toString(q.lossPercent(), 'f', 1),
               QString::number(q.jitterMs),
               q.roundTripMs ? tr("%1 ms").arg(*q.roundTripMs) : QStringLiteral("-")));
}

void MainWindow::setLineTransport(sip::TransportKind kind) {
  transport_->setTransport(kind);
}

void MainWindow::showLineProblem(const std::string& text) {
  lineProblem_->setText(appText(text));
  lineProblem_->setVisible(!text.empty());
  if (!text.empty()) base::logError(text);
}

void MainWindow::noteLineRegistered() {
  lineProblem_->clear();
  lineProblem_->setVisible(false);
}

void MainWindow::setBanner(const std::string& text) {
  if (!ringingCaller_.isEmpty()) {
    return;  // the ringing call keeps the banner
  }
  banner_->setText(appText(text));
}

void MainWindow::setLevels(int8_t microphone, int8_t speaker) {
  microphoneMeter_->setValue(std::clamp<int>(microphone, kMeterFloor, kMeterTop));
  speakerMeter_->setValue(std::clamp<int>(speaker, kMeterFloor, kMeterTop));
}

void MainWindow::setVolumes(int32_t play, int32_t record) {
  const QSignalBlocker playBlocker(playVolume_);
  const QSignalBlocker recordBlocker(recordVolume_);
  playVolume_->setValue(play);
  recordVolume_->setValue(record);
}

bool MainWindow::openOptions(int32_t page) {
  return dialogs_->options(this, page);
}

bool MainWindow::addContact() {
  return app_ != nullptr && dialogs_->contact(this, app_->contactStore(), -1);
}

bool MainWindow::editContact(int32_t position) {
  return app_ != nullptr && dialogs_->contact(this, app_->contactStore(), position);
}

void MainWindow::showAddressBook() {
  dialogs_->showAddressBook(this);
}

void MainWindow::closeAddressBook() {
  dialogs_->closeAddressBook();
}

void MainWindow::registerHotKeys() {
  if (hotKeys_) {
    hotKeys_->registerAll(settings());
  }
}

void MainWindow::unregisterHotKeys() {
  if (hotKeys_) {
    hotKeys_->unregisterAll();
  }
}

void MainWindow::noteIncomingCall(const std::string& caller) {
  ringingCaller_ = toQString(caller);
  banner_->setText(tr("Incoming call from %1: press Intercom (F5) to answer").arg(ringingCaller_));
  refuse_->setVisible(true);
  notices_->incomingCall(ringingCaller_, callEncryption_);
  emit statusChanged();
}

void MainWindow::noteMissedCall(const std::string& caller) {
  ++missedCalls_;
  noteRingingOver();
  banner_->setText(tr("Missed call from %1").arg(toQString(caller)));
  notices_->missedCall(toQString(caller));
  emit statusChanged();
}

void MainWindow::noteRingingOver() {
  ringingCaller_.clear();
  refuse_->setVisible(!waitingCaller_.isEmpty());
  notices_->withdrawIncoming();
  emit statusChanged();
}

void MainWindow::setCallHistory(const std::vector<app::CallRecord>& calls) {
  history_->setCalls(calls);
}

int32_t MainWindow::selectedHistoryRow() const {
  return history_->selectedRow();
}

void MainWindow::setCallEncryption(const std::string& encryption) {
  if (toQString(encryption) == callEncryption_ && callLock_->isHidden() == encryption.empty()) {
    return;
  }
  callEncryption_ = toQString(encryption);
  const bool encrypted = !callEncryption_.isEmpty();
  if (encrypted) {
    const int size = std::max(16, banner_->fontMetrics().height());
    callLock_->setPixmap(lockIcon(palette().color(QPalette::WindowText)).pixmap(size, size));
    callLock_->setToolTip(tr("The call's audio is encrypted: %1").arg(callEncryption_));
    callLock_->setAccessibleName(tr("Encrypted call"));
    callLock_->setAccessibleDescription(callEncryption_);
  }
  callLock_->setVisible(encrypted);
  emit statusChanged();
}

QString MainWindow::state() const {
  if (buttonState_ == app::IntercomButtonState::InCall) {
    return QStringLiteral("in a call");
  }
  if (!ringingCaller_.isEmpty()) {
    return QStringLiteral("ringing");
  }
  return doNotDisturb_->isChecked() ? QStringLiteral("Do Not Disturb") : QStringLiteral("idle");
}

}  // namespace quillet::ui
