// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the window tests.
#include "ui/ui_test_support.h"

#include <QAbstractButton>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/log.h"
#include "base/settings_store.h"
#include "contacts/contact_store.h"
#include "platform/audio_device_wav.h"
#include "ui/log_view_widget.h"
#include "ui/qt_dialogs.h"

namespace quillet::ui::testing {

namespace fs = std::filesystem;

bool RecordingDialogs::contact(QWidget* /*parent*/, contacts::ContactStore& store,
                               int32_t position) {
  log_.contactPositions.push_back(position);
  if (log_.nextName.empty()) {
    return false;
  }
  store.add(log_.nextName, log_.nextNumber, "");
  log_.nextName.clear();
  return true;
}

namespace {
// One Qt application for the whole test run, deleted after the last test.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    application_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override { application_.reset(); }

 private:
  int argc_ = 1;
  char name_[8] = "ui_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};
[[maybe_unused]] ::testing::Environment* const gQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);
}  // namespace

void WindowTest::SetUp() {
  // xdg-open stand-in: appends its argument to a file.
  const std::string bin = home_ + "/bin";
  fs::create_directories(bin);
  openedFile_ = home_ + "/opened.txt";
  {
    std::ofstream script(bin + "/xdg-open");
    script << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << openedFile_ << "'\n";
  }
  fs::permissions(bin + "/xdg-open", fs::perms::owner_all);
  const char* path = std::getenv("PATH");
  savedPath_ = path != nullptr ? path : "/usr/bin:/bin";
  ::setenv("PATH", (bin + ":" + savedPath_).c_str(), 1);
}

void WindowTest::TearDown() {
  stopAnswering();
  stop();
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (qobject_cast<QMessageBox*>(widget) != nullptr) {
      delete widget;
    }
  }
  ::setenv("PATH", savedPath_.c_str(), 1);
}

void WindowTest::start() {
  loop_ = std::make_unique<QtMessageLoop>();
  platform::setGuiLoop(loop_.get());
  prompts_ = std::make_unique<QtPrompts>(*loop_);
  env_ = std::make_unique<base::AppEnvironment>(
      base::AppEnvironment{*loop_, *prompts_, false, {"quillet"}, paths_});
  std::unique_ptr<Dialogs> dialogs =
      realDialogs_ ? qtDialogs(base::SettingsStore::global(), *prompts_, wizardStunServers_)
                   : std::make_unique<RecordingDialogs>(dialogs_);
  auto window = std::make_unique<MainWindow>(paths_, *prompts_, std::move(dialogs));
  window_ = window.get();
  prompts_->setParent(window_);
  app_ = std::make_unique<app::IntercomApp>(*env_, std::move(window));
  window_->attach(app_.get());
  ASSERT_TRUE(app_->initialise());
  pumpFor(std::chrono::milliseconds(20));
}

void WindowTest::stop() {
  if (!app_) {
    return;
  }
  app_.reset();
  window_ = nullptr;
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
  platform::setGuiLoop(nullptr);
  prompts_.reset();
  loop_.reset();
}

bool WindowTest::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return app::testing::pumpUntil([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); },
                                 done, limit);
}

void WindowTest::pumpFor(std::chrono::milliseconds span) {
  pumpUntil([] { return false; }, span);
}

void WindowTest::answerBoxes(QMessageBox::StandardButton button) {
  answer_ = button;
  if (!answerer_) {
    answerer_ = std::make_unique<QTimer>();
    QObject::connect(answerer_.get(), &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible() || answer_ == QMessageBox::NoButton) {
        return;
      }
      seen_.push_back({box->windowTitle(), box->text()});
      if (QAbstractButton* chosen = box->button(answer_); chosen != nullptr) {
        chosen->click();
      } else {
        box->reject();
      }
    });
  }
  answerer_->start(20);
}

void WindowTest::stopAnswering() {
  answer_ = QMessageBox::NoButton;
  if (answerer_) {
    answerer_->stop();
  }
}

void WindowTest::closeInformBoxes() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible() && !box->isModal()) {
      seen_.push_back({box->windowTitle(), box->text()});
      box->close();
    }
  }
}

bool WindowTest::sawBox(const QString& title, const QString& text) const {
  return std::ranges::any_of(
      seen_, [&](const SeenBox& box) { return box.title == title && box.text == text; });
}

std::vector<std::string> WindowTest::opened(size_t atLeast) {
  std::vector<std::string> lines;
  pumpUntil(
      [&] {
        lines.clear();
        std::ifstream in(openedFile_);
        for (std::string line; std::getline(in, line);) {
          lines.push_back(line);
        }
        return lines.size() >= atLeast;
      },
      std::chrono::seconds(5));
  return lines;
}

void WindowTest::addContact(const std::string& name, const std::string& number) {
  std::unique_ptr<contacts::ContactStore> store = contacts::createContactStore();
  store->add(name, number, "");
}

bool WindowTest::logHas(const std::string& text) const {
  return std::ranges::any_of(
      window_->logView()->model().lines(),
      [&](const base::LogViewLine& line) { return line.message.find(text) != std::string::npos; });
}

std::string WindowTest::logText() const {
  std::string text;
  for (const base::LogViewLine& line : window_->logView()->model().lines()) {
    text += line.time + " " + line.message + "\n";
  }
  return text;
}

void writeWav(const std::string& path, const std::vector<int16_t>& samples) {
  platform::WavFileWriter writer;
  std::string error;
  ASSERT_TRUE(writer.create(path, 8000, 1, error)) << error;
  ASSERT_TRUE(writer.write(samples.data(), samples.size()));
}

void shot(QWidget* widget, const std::string& name) {
  const char* folder = std::getenv("QUILLET_SCREENSHOTS");
  if (folder == nullptr || *folder == '\0') return;
  widget->show();
  QApplication::processEvents();
  widget->grab().save(QString::fromUtf8(folder) + u'/' + QString::fromStdString(name));
}

}  // namespace quillet::ui::testing
