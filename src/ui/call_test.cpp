// Intercom calls driven from the window against `quillet --headless` far ends on
// loopback, with WAV files as microphones and speakers: push-to-talk released before the
// far end answers still delivers everything said, the menus lock during the call, the
// meters follow the audio and an incoming call asks the talk-back question (Do Not
// Disturb's refusal: intercom_e2e).
#include <QAction>
#include <QComboBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "base/settings_store.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;
constexpr size_t kRate = 8000;

base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

class CallTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (std::getenv("QUILLET_BINARY") == nullptr) {
      GTEST_SKIP() << "QUILLET_BINARY names the quillet executable for the far end";
    }
    speech_ = toneSequence(kRate * 30);
    writeWav(home_ + "/speech.wav", speech_);
    writeWav(home_ + "/silence.wav", std::vector<int16_t>(kRate * 30, 0));
    windowPort_ = freeUdpPort();
    settings().writeInt("SIP", "Port", windowPort_);
    settings().writeInt("SIP", "RTPPortBase", freeUdpPort() & ~1);
    settings().writeBool("Settings", "UseEchoCancellation", false);
    settings().writeText("Settings", "PlayDevice", "file:" + home_ + "/heard.wav");
  }

  QProgressBar* meter(int id) {
    return window_->findChild<QProgressBar*>(QStringLiteral("control%1").arg(id));
  }
  bool meterMoved(int id) { return meter(id)->value() > meter(id)->minimum(); }
  bool callLocked() {
    for (int id : {1008, 1010, 1013, 2001, 8001, 8002, 8003}) {
      if (window_->action(id)->isEnabled()) {
        return false;
      }
    }
    return true;
  }
  std::string windowAddress() const { return "sip:alice@127.0.0.1:" + std::to_string(windowPort_); }

  std::vector<int16_t> speech_;
  int32_t windowPort_ = 0;
};

TEST_F(CallTest, PushToTalkReleasedBeforeTheAnswerDeliversEverything) {
  settings().writeText("Settings", "RecordDevice", "file:" + home_ + "/speech.wav");
  FarEnd bob(home_, "bob", freeUdpPort(), freeUdpPort() & ~1, home_ + "/silence.wav");
  ASSERT_TRUE(bob.start()) << bob.log();
  addContact("Bob", bob.address());
  settings().writeInt("Recent", "LastRecentIndex", 0);
  start();
  auto* button = window_->findChild<QPushButton*>("control115");
  auto* list = window_->findChild<QComboBox*>("control130");
  ASSERT_EQ(list->currentIndex(), 0);

  // Held down: the call rings at Bob while the microphone speaks into it.
  QTest::mousePress(button, Qt::LeftButton);
  EXPECT_EQ(button->text(), "Cancel (F5)");
  EXPECT_FALSE(list->isEnabled());
  EXPECT_TRUE(pumpUntil([&] { return meterMoved(141); }, 2s)) << "the microphone meter stays";
  pumpFor(700ms);
  // Released before Bob has answered (he plays his ring sound first).
  ASSERT_FALSE(app_->callActive());
  ASSERT_EQ(bob.log().find("The call was started"), std::string::npos);
  QTest::mouseRelease(button, Qt::LeftButton);
  EXPECT_EQ(button->text(), "Intercom (F5)");

  ASSERT_TRUE(pumpUntil([&] { return app_->callActive(); }, 10s)) << bob.log();
  EXPECT_TRUE(callLocked());
  EXPECT_FALSE(list->isEnabled());
  EXPECT_TRUE(window_->action(1000)->isChecked());
  // Options stay closed during the call, from the command and from the private messages.
  window_->runCommand(1010);
  window_->postMessage(app::kMessageOptions);
  pumpFor(50ms);
  takeInformBoxes();
  EXPECT_TRUE(sawBox("Quillet", "While a call is ringing or is active you may not change options"));
  EXPECT_TRUE(dialogs_.optionsPages.empty());
  pumpFor(2500ms);  // the spool reaches Bob

  window_->runCommand(1000);  // Intercom during the call ends it
  EXPECT_TRUE(logHas("Trying to finish the call ..."));
  ASSERT_TRUE(pumpUntil([&] { return !app_->callActive(); }, 5s));
  EXPECT_TRUE(window_->action(1010)->isEnabled());
  EXPECT_TRUE(list->isEnabled());
  bob.stop();

  // Bob heard what was said while the button was held, up to its end.
  const std::vector<int16_t> heard = readWav(bob.speaker());
  ASSERT_GT(heard.size(), kRate);
  // Every tone said while the button was held (12 of 50 ms in 0.6 s), in order; the far
  // end's playout may shift, stretch or shrink them, and may lose a few milliseconds at its
  // very start, so the first tone is not asked for.
  const std::vector<double> tones = toneFrequencies(kRate * 30 / kToneSamples);
  const std::vector<double> held(tones.begin() + 1, tones.begin() + 12);
  EXPECT_EQ(tonesHeardInOrder(held, heard), held.size()) << heard.size() << " samples heard";
  // Nothing after the release: the tones that followed (from 2 s on) are not there.
  const std::vector<double> later(tones.begin() + 40, tones.begin() + 48);
  EXPECT_LT(tonesHeardInOrder(later, heard), later.size());
}

TEST_F(CallTest, IncomingCallAsksToTalkBack) {
  settings().writeText("Settings", "RecordDevice", "file:" + home_ + "/silence.wav");
  FarEnd carol(home_, "carol", freeUdpPort(), freeUdpPort() & ~1, home_ + "/speech.wav");
  ASSERT_TRUE(carol.start()) << carol.log();
  start();

  // The talk-back question is open while Carol is heard: it is answered Yes once the
  // speaker meter moves.
  QString title;
  QString text;
  bool heardWhileAsking = false;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
      return;
    }
    title = box->windowTitle();
    text = box->text();
    if (meterMoved(140)) {
      heardWhileAsking = true;
      box->button(QMessageBox::Yes)->click();
    }
  });
  watcher.start(20);
  ASSERT_EQ(carol.run({"-dial", windowAddress()}), 0);
  ASSERT_TRUE(pumpUntil([&] { return heardWhileAsking; }, 15s)) << carol.log();
  watcher.stop();
  EXPECT_EQ(title, "Incoming Call");
  EXPECT_EQ(text, "Incoming SIP call was detected.\nWould you like to start conversation ?");
  ASSERT_TRUE(pumpUntil([&] { return logHas("Press \"Intercom\" button to stop call"); }, 2s));
  // Yes posts Intercom down, which turns this side's microphone on into the call.
  pumpFor(300ms);
  EXPECT_EQ(window_->state(), "in a call");
  EXPECT_EQ(app_->currentSlot(), 0);
  EXPECT_TRUE(callLocked());
  // The caller's contact was added and selected.
  EXPECT_NE(window_->findChild<QComboBox*>("control130")->currentText().indexOf("carol@127.0.0.1"),
            -1);
  window_->runCommand(1000);
  ASSERT_TRUE(pumpUntil([&] { return !app_->callActive(); }, 5s)) << logText();
}

}  // namespace
}  // namespace quillet::ui::testing
