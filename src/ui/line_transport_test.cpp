// SPDX-License-Identifier: Apache-2.0
// Tests of the line's transport in the window: the connection settings of the Advanced
// Line Settings dialog (saved, reloaded, refused, the warning without verification), the
// status panel's transport with its lock and the line problems, and the whole path from
// the dialogs through a restart of the line to the status panel.
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/app_window.h"
#include "app/line_values.h"
#include "base/settings_store.h"
#include "platform/prompts.h"
#include "ui/line_settings_dialog.h"
#include "ui/options_dialog.h"
#include "ui/qt_message_loop.h"
#include "ui/transport_label.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;

base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

// Runs `act` on the modal dialog of type T once it is open (polled from the loop).
template <typename T>
void whenOpen(QObject* owner, std::function<void(T*)> act) {
  auto* timer = new QTimer(owner);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
    if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(dialog);
    }
  });
  timer->start(10);
}

class ConnectionSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillet-connection-XXXXXX";
    dir_ = mkdtemp(pattern);
    store_ = std::make_unique<base::SettingsStore>(dir_ + "/settings.ini", dir_ + "/machine.ini");
    prompts_ = std::make_unique<platform::ScriptedPrompts>(loop_, platform::PromptAnswer::Ok);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

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

// The media encryption settings come back as saved and the line reads them; an unknown
// stored value shows (and reads) as the default, automatic.
TEST_F(ConnectionSettingsTest, MediaEncryptionSavedAndReadByTheLine) {
  EXPECT_EQ(app::readLineValues(*store_, 0).mediaEncryption, media::EncryptionMode::Auto);
  store_->writeText("DefaultLine", "MediaEncryption", "rot13");
  EXPECT_EQ(app::readLineValues(*store_, 0).mediaEncryption, media::EncryptionMode::Auto);
  EXPECT_FALSE(lineSettingsModified(*store_));
  {
    LineSettingsDialog dialog(nullptr, *store_, *prompts_, LineSettingsMode::Both);
    EXPECT_EQ(dialog.encryptionChoice()->currentText(), "Automatic");
    EXPECT_FALSE(dialog.encryptionRequiredBox()->isChecked());
    dialog.encryptionChoice()->setCurrentIndex(dialog.encryptionChoice()->findText("Off"));
    dialog.encryptionRequiredBox()->setChecked(true);
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  EXPECT_EQ(store_->readText("DefaultLine", "MediaEncryption"), "off");
  EXPECT_EQ(store_->readText("DefaultLine", "MediaEncryptionRequired"), "1");
  const app::LineValues values = app::readLineValues(*store_, 0);
  EXPECT_EQ(values.mediaEncryption, media::EncryptionMode::Off);
  EXPECT_TRUE(values.mediaEncryptionRequired);
  EXPECT_TRUE(lineSettingsModified(*store_));
  store_->writeText("DefaultLine", "MediaEncryption", " SDES ");
  LineSettingsDialog again(nullptr, *store_, *prompts_, LineSettingsMode::Both);
  EXPECT_EQ(again.encryptionChoice()->currentData().toString(), "sdes");
  EXPECT_TRUE(again.encryptionRequiredBox()->isChecked());
  EXPECT_EQ(app::readLineValues(*store_, 0).mediaEncryption, media::EncryptionMode::Sdes);
}

// The three settings come back as saved, the line reads them, a CA file that cannot be read
// is refused with nothing written, and the warning shows exactly while verification is off.
TEST_F(ConnectionSettingsTest, SavedReloadedAndWarnedAbout) {
  const std::string ca = dir_ + "/pbx-ca.pem";
  std::ofstream(ca) << "-----BEGIN CERTIFICATE-----\n";
  store_->writeText("DefaultLine", "Transport", "sctp");  // unknown: shown as Automatic
  {
    LineSettingsDialog dialog(nullptr, *store_, *prompts_, LineSettingsMode::Both);
    EXPECT_EQ(dialog.transportChoice()->currentText(), "Automatic");
    EXPECT_EQ(dialog.caFileField()->text(), "");
    EXPECT_TRUE(dialog.verifyBox()->isChecked());
    EXPECT_FALSE(dialog.verifyWarning()->isVisibleTo(&dialog));
    dialog.verifyBox()->setChecked(false);
    EXPECT_TRUE(dialog.verifyWarning()->isVisibleTo(&dialog));
    dialog.verifyBox()->setChecked(true);
    EXPECT_FALSE(dialog.verifyWarning()->isVisibleTo(&dialog));

    dialog.transportChoice()->setCurrentIndex(dialog.transportChoice()->findText("TLS"));
    dialog.verifyBox()->setChecked(false);
    dialog.caFileField()->setText(QString::fromStdString(dir_ + "/missing.pem"));
    dialog.accept();
    EXPECT_EQ(asked(), std::vector<std::string>{
                           "Invalid TLS CA File|The TLS CA file cannot be read. Please choose a "
                           "file of certificate authorities, or leave the field empty to trust "
                           "only the system's."});
    EXPECT_EQ(store_->readText("DefaultLine", "Transport"), "sctp");  // nothing written
    EXPECT_EQ(store_->readText("DefaultLine", "TLSVerifyServer"), "");
    dialog.caFileField()->setText(QStringLiteral("/etc/quillet/pbx-ca.pem"));  // the picture's
    shot(&dialog, "advanced-line-settings-unverified.png");
    dialog.caFileField()->setText(QString::fromStdString(" " + ca + " "));
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  EXPECT_EQ(store_->readText("DefaultLine", "Transport"), "tls");
  EXPECT_EQ(store_->readText("DefaultLine", "TLSCAFile"), ca);
  EXPECT_EQ(store_->readText("DefaultLine", "TLSVerifyServer"), "0");
  const app::LineValues values = app::readLineValues(*store_, 0);
  EXPECT_EQ(values.transport, sip::TransportKind::Tls);
  EXPECT_EQ(values.tlsCaFile, ca);
  EXPECT_FALSE(values.tlsVerifyServer);
  EXPECT_TRUE(lineSettingsModified(*store_));

  {
    LineSettingsDialog again(nullptr, *store_, *prompts_, LineSettingsMode::Both);
    EXPECT_EQ(again.transportChoice()->currentText(), "TLS");
    EXPECT_EQ(again.caFileField()->text().toStdString(), ca);
    EXPECT_FALSE(again.verifyBox()->isChecked());
    EXPECT_TRUE(again.verifyWarning()->isVisibleTo(&again));
    // UDP carries no TLS: its settings are greyed, kept, and a missing file is no matter.
    again.transportChoice()->setCurrentIndex(again.transportChoice()->findText("UDP"));
    EXPECT_FALSE(again.caFileField()->isEnabled());
    EXPECT_FALSE(again.verifyBox()->isEnabled());
    std::filesystem::remove(ca);
    again.accept();
    EXPECT_EQ(again.result(), QDialog::Accepted);
  }
  EXPECT_EQ(store_->readText("DefaultLine", "Transport"), "udp");
  EXPECT_EQ(store_->readText("DefaultLine", "TLSCAFile"), ca);

  // Browse picks the file in a file dialog; verification back on, the defaults again.
  std::ofstream(ca) << "-----BEGIN CERTIFICATE-----\n";
  {
    LineSettingsDialog dialog(nullptr, *store_, *prompts_, LineSettingsMode::Both);
    dialog.transportChoice()->setCurrentIndex(dialog.transportChoice()->findText("Automatic"));
    dialog.caFileField()->clear();
    QString title;
    whenOpen<QFileDialog>(&dialog, [&](QFileDialog* files) {
      title = files->windowTitle();
      auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      if (name != nullptr) {
        name->setText(QString::fromStdString(ca));
      } else {
        files->selectFile(QString::fromStdString(ca));
      }
      static_cast<QDialog*>(files)->accept();
    });
    dialog.findChild<QPushButton*>(QStringLiteral("browseCaFile"))->click();
    EXPECT_EQ(title, "TLS CA File");
    EXPECT_EQ(dialog.caFileField()->text().toStdString(), ca);
    dialog.caFileField()->clear();
    dialog.verifyBox()->setChecked(true);
    dialog.accept();
  }
  EXPECT_EQ(store_->readText("DefaultLine", "Transport"), "auto");
  EXPECT_EQ(store_->readText("DefaultLine", "TLSCAFile"), "");
  EXPECT_EQ(store_->readText("DefaultLine", "TLSVerifyServer"), "1");
  EXPECT_FALSE(lineSettingsModified(*store_));
  // The groups shown alone leave the connection settings as they are.
  store_->writeText("DefaultLine", "Transport", "tcp");
  LineSettingsDialog outbound(nullptr, *store_, *prompts_, LineSettingsMode::OutboundServer);
  EXPECT_EQ(outbound.transportChoice(), nullptr);
  outbound.accept();
  EXPECT_EQ(store_->readText("DefaultLine", "Transport"), "tcp");
}

// A TLS line shows its transport with a lock in the status panel; a transport security
// problem shows (also with the panel switched off) until the line registers again.
TEST_F(WindowTest, TheStatusPanelShowsTheLinesTransportAndItsProblems) {
  settings().writeText("DefaultLine", "Transport", "tls");  // no server: nothing is sent
  settings().writeBool("Settings", "ShowStatus", true);
  start();
  auto* panel = window_->findChild<QWidget*>("statusPanel");
  auto* transport = window_->findChild<TransportLabel*>("statusTransport");
  ASSERT_NE(transport, nullptr);
  EXPECT_EQ(transport->nameLabel()->text(), "TLS");
  EXPECT_TRUE(transport->lockLabel()->isVisibleTo(window_));
  const QPixmap lock = transport->lockLabel()->pixmap();
  ASSERT_FALSE(lock.isNull());
  // The lock is drawn (or the theme's): not an empty picture.
  const QImage image = lock.toImage();
  int opaque = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
  EXPECT_GT(opaque, image.width() * image.height() / 5);
  shot(panel, "status-tls.png");

  const std::string problem =
      "TLS: the certificate of pbx.example.org was refused (unknown issuer)";
  window_->showLineProblem(problem);
  auto* shown = window_->findChild<QLabel*>("lineProblem");
  ASSERT_NE(shown, nullptr);
  EXPECT_TRUE(shown->isVisibleTo(window_));
  EXPECT_EQ(shown->text().toStdString(), problem);
  EXPECT_TRUE(logHas(problem));
  window_->resize(440, 640);
  shot(window_, "window-line-problem.png");
  // The panel switched off keeps the problem in view; the banner's turns leave it alone.
  window_->runCommand(kCommandShowStatus);
  EXPECT_FALSE(panel->isVisibleTo(window_));
  EXPECT_TRUE(shown->isVisibleTo(window_));
  window_->setBanner("another banner");
  window_->setLineTransport(sip::TransportKind::Tls);
  EXPECT_EQ(shown->text().toStdString(), problem);
  window_->noteLineRegistered();
  EXPECT_FALSE(shown->isVisibleTo(window_));
  window_->showLineProblem("TLS: no certificate authority file /nonexistent/ca.pem");
  EXPECT_TRUE(shown->isVisibleTo(window_));
  window_->showLineProblem("");
  EXPECT_FALSE(shown->isVisibleTo(window_));

  window_->setLineTransport(sip::TransportKind::Tcp);
  EXPECT_EQ(transport->nameLabel()->text(), "TCP");
  EXPECT_TRUE(transport->lockLabel()->isHidden());
}

// The transport chosen in Advanced Line Settings reaches the status panel once Options
// closes with OK and the line is built again.
class TransportWindowTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    realDialogs_ = true;
    addContact("Bob", "sip:bob@127.0.0.1:2");  // the start-up checks open no dialog
  }
};

TEST_F(TransportWindowTest, TheTransportChosenInTheDialogsShowsInTheStatusPanel) {
  start();
  auto* transport = window_->findChild<TransportLabel*>("statusTransport");
  ASSERT_NE(transport, nullptr);
  EXPECT_EQ(transport->nameLabel()->text(), "UDP");
  OptionsDialog* options = nullptr;
  whenOpen<OptionsDialog>(window_, [&](OptionsDialog* dialog) {
    options = dialog;
    dialog->showPage(app::kOptionsPageLines);
    whenOpen<LineSettingsDialog>(window_, [&](LineSettingsDialog* advanced) {
      advanced->transportChoice()->setCurrentIndex(3);
      advanced->accept();
      QMetaObject::invokeMethod(options, &QDialog::accept, Qt::QueuedConnection);
    });
    QMetaObject::invokeMethod(
        dialog->findChild<QPushButton*>(QStringLiteral("advancedLineSettings")),
        &QPushButton::click, Qt::QueuedConnection);
  });
  window_->runCommand(app::kCommandOptions);
  EXPECT_EQ(settings().readText("DefaultLine", "Transport"), "tls");
  EXPECT_TRUE(pumpUntil([&] { return logHas("Restarting so settings take effect."); }, 3s));
  EXPECT_EQ(transport->nameLabel()->text(), "TLS");
  EXPECT_FALSE(transport->lockLabel()->isHidden());
  stop();
}

}  // namespace
}  // namespace quillet::ui::testing
