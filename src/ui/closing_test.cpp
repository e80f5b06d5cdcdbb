// Closing while questions and dialogs are open (a signal, a later start's -exit or the close
// hot key all request the close the same way): every open box and dialog is cancelled, the
// loops unwind, nothing the user had not stored is kept and the program takes its parts
// down. QT_QPA_PLATFORM=offscreen, the real dialogs over the real application.
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "base/settings_store.h"
#include "ui/line_settings_dialog.h"
#include "ui/options_dialog.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;

base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

class ClosingTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    realDialogs_ = true;
    settings().deleteValue("Settings", "DoNotDisturb");  // the teardown writes it
  }

  // Calls `step` on each tick until it answers true (from inside whatever loop runs).
  void onTicks(std::function<bool()> step) {
    auto* timer = new QTimer();
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step = std::move(step)] {
      if (step()) {
        timer->stop();
        timer->deleteLater();
      }
    });
    timer->start(10);
  }
  // Requests the close as the signal watch does, once a modal widget of type T is the
  // innermost; `before` runs on it first.
  template <typename T>
  void closeWhenOpen(std::function<void(T*)> before = {}) {
    onTicks([this, before] {
      auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
      if (modal == nullptr || !modal->isVisible()) return false;
      if (before) before(modal);
      app_->requestClose();
      return true;
    });
  }
  // Runs the program's loop as the executable does; false when it did not end in time.
  bool runLoop() {
    QTimer guard;  // a hang: ended by force, and the test fails
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [this] { loop_->quitAll(); });
    guard.start(10s);
    const auto began = std::chrono::steady_clock::now();
    loop_->run();
    return std::chrono::steady_clock::now() - began < 9s;
  }
  // The teardown ran: the do-not-disturb flag written back, no dialog left.
  void expectClosedCleanly() {
    EXPECT_TRUE(loop_->closing());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(logHas("Closing Quillet"));
    stop();
    EXPECT_FALSE(settings().readText("Settings", "DoNotDisturb").empty());
  }
};

TEST_F(ClosingTest, OptionsWithANestedDialogAreCancelledAndNothingIsSaved) {
  addContact("Bob", "sip:bob@127.0.0.1:2");
  start();
  // Options with an edited, unsaved name, and the advanced line settings open over it.
  onTicks([] {
    auto* options = qobject_cast<OptionsDialog*>(QApplication::activeModalWidget());
    if (options == nullptr || !options->isVisible()) return false;
    options->showPage(app::kOptionsPageLines);
    options->findChild<QLineEdit*>(QStringLiteral("DisplayName"))->setText("Not saved");
    QMetaObject::invokeMethod(
        options->findChild<QPushButton*>(QStringLiteral("advancedLineSettings")),
        &QPushButton::click, Qt::QueuedConnection);
    return true;
  });
  closeWhenOpen<LineSettingsDialog>();
  loop_->post([this] { window_->runCommand(app::kCommandOptions); });
  EXPECT_TRUE(runLoop());
  EXPECT_EQ(settings().readText("DefaultLine", "DisplayName"), "Alice");
  expectClosedCleanly();
}

TEST_F(ClosingTest, TheTalkBackQuestionAndDialogsOpenedWhileClosingEndAtOnce) {
  addContact("Bob", "sip:bob@127.0.0.1:2");
  start();
  closeWhenOpen<QMessageBox>();
  // Closing, the code below the question opens Options: it is closed as it shows.
  loop_->post([this] {
    prompts_->ask({"Incoming Call", "Incoming SIP call was detected.",
                   platform::PromptButtons::YesNo, platform::PromptIcon::Question, "talk-back"});
    window_->runCommand(app::kCommandOptions);
  });
  EXPECT_TRUE(runLoop());
  expectClosedCleanly();
}

}  // namespace
}  // namespace quillet::ui::testing
