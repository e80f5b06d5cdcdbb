// SPDX-License-Identifier: Apache-2.0
// What the window tests share: a Qt application, a temporary profile with a real
// IntercomApp behind a real MainWindow on the Qt loop and prompts, dialogs that record
// what they were asked, an answerer for message boxes and a stand-in for xdg-open that
// records its argument.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app_test_support.h"
#include "app/intercom_app.h"
#include "base/application.h"
#include "platform/paths.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "ui/qt_message_loop.h"
#include "ui/qt_prompts.h"

namespace quillet::ui::testing {

// Dialogs that note each request; the Contact dialog adds `nextContact` when set.
class RecordingDialogs : public Dialogs {
 public:
  struct Log {
    std::vector<int32_t> optionsPages;
    std::vector<int32_t> contactPositions;
    int addressBook = 0;
    int wizard = 0;
    std::string nextName;
    std::string nextNumber;
  };
  explicit RecordingDialogs(Log& log) : log_(log) {}
  bool options(QWidget* /*parent*/, int32_t page) override {
    log_.optionsPages.push_back(page);
    return false;
  }
  bool contact(QWidget* parent, contacts::ContactStore& store, int32_t position) override;
  void showAddressBook(QWidget* /*parent*/) override { ++log_.addressBook; }
  void closeAddressBook() override {}
  void networkWizard(QWidget* /*parent*/) override { ++log_.wizard; }

 private:
  Log& log_;
};

struct SeenBox {
  QString title;
  QString text;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates and initialises the application with its window.
  void start();
  void stop();
  // Runs the Qt loop until the condition holds or the time is up.
  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
  void pumpFor(std::chrono::milliseconds span);

  // Answers every modal message box that opens from now on with `button` (until
  // stopAnswering), noting title and text.
  void answerBoxes(QMessageBox::StandardButton button);
  void stopAnswering();
  // Message boxes shown without waiting (informing), noted and closed.
  void closeInformBoxes();
  bool sawBox(const QString& title, const QString& text) const;

  // Arguments xdg-open was started with, one per line (waits a moment for them).
  std::vector<std::string> opened(size_t atLeast);

  void addContact(const std::string& name, const std::string& number);
  bool logHas(const std::string& text) const;
  std::string logText() const;

  app::testing::TestProfile profile_;
  const std::string& home_ = profile_.home();
  const platform::ProfilePaths& paths_ = profile_.paths();
  std::unique_ptr<QtMessageLoop> loop_;
  std::unique_ptr<QtPrompts> prompts_;
  std::unique_ptr<base::AppEnvironment> env_;
  RecordingDialogs::Log dialogs_;
  bool realDialogs_ = false;                    // start() gives the window the Qt dialogs instead
  std::vector<std::string> wizardStunServers_;  // the real dialogs' network wizard tries these
  MainWindow* window_ = nullptr;
  std::unique_ptr<app::IntercomApp> app_;
  std::vector<SeenBox> seen_;
  QMessageBox::StandardButton answer_ = QMessageBox::NoButton;
  std::unique_ptr<QTimer> answerer_;
  std::string openedFile_;
  std::string savedPath_;
};

// A 16-bit mono 8000 Hz WAV file.
void writeWav(const std::string& path, const std::vector<int16_t>& samples);
using app::testing::freeUdpPort;
// With QUILLET_SCREENSHOTS set to a folder, a picture of the widget is saved there.
void shot(QWidget* widget, const std::string& name);

}  // namespace quillet::ui::testing
