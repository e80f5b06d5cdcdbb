// SPDX-License-Identifier: Apache-2.0
// Intercom calls driven from the window against `quillet --headless` far ends on
// loopback, with WAV files as microphones and speakers (tone bursts, found again in order
// in the far end's speaker file): push-to-talk released before the far end answers still
// delivers everything said, the menus lock during the call, Hold holds and resumes it, the
// meters follow the audio and an incoming call asks the talk-back question (Do Not
// Disturb's refusal: intercom_e2e).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/settings_store.h"
#include "platform/audio_device_wav.h"
#include "ui/call_history_widget.h"
#include "ui/ui_test_support.h"

extern char** environ;

namespace quillet::ui::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr size_t kRate = 8000;

base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

// Starts `quillet --headless options...` on the profile in `home`, its standard error going to
// stderr.txt there; answers the process id, or -1.
int spawnQuillet(const std::string& home, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"env", "QUILLET_HOME=" + home, std::getenv("QUILLET_BINARY"),
                                   "--headless"};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = home + "/stderr.txt";
  posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, "/usr/bin/env", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

// A quillet --headless instance with its own profile, WAV microphone and speaker.
class FarEnd {
 public:
  // `sipLines` and `lineLines`: further settings of its SIP and DefaultLine sections, each
  // line ending in a line feed.
  FarEnd(const std::string& root, const std::string& user, int32_t sipPort, int32_t rtpBase,
         const std::string& microphone, const std::string& sipLines = {},
         const std::string& lineLines = {})
      : home_(root + "/" + user), user_(user), port_(sipPort), speaker_(home_ + "/speaker.wav") {
    fs::create_directories(home_);
    std::ofstream(home_ + "/settings.ini")
        << "[Settings]\nNewInstall=0\nInstallWizRun=1\nUseAGC=0\nUseEchoCancellation=0\n"
        << "RecordDevice=file:" << microphone << "\nPlayDevice=file:" << speaker_ << "\n"
        << "[SIP]\nPort=" << sipPort << "\nLocalAddress=127.0.0.1\nSTUN=0\nRTPPortBase=" << rtpBase
        << "\n"
        << sipLines << "[DefaultLine]\nDisplayName=" << user << "\nUserName=" << user << "\n"
        << lineLines;
  }
  ~FarEnd() { stop(); }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  bool start() {
    pid_ = spawnQuillet(home_, {});
    return pid_ > 0 && app::testing::pumpUntil(
                           [] { std::this_thread::sleep_for(20ms); },
                           [this] { return log().find("SIP Number:") != std::string::npos; }, 10s);
  }
  // A second start on the profile: its options go to the running instance.
  int run(const std::vector<std::string>& options) {
    const int pid = spawnQuillet(home_, options);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const bool ended =
        app::testing::pumpUntil([] { std::this_thread::sleep_for(50ms); },
                                [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 15s);
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  std::string address() const { return "sip:" + user_ + "@127.0.0.1:" + std::to_string(port_); }
  std::string log() const {
    std::string all;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(home_ + "/Logs", ignored)) {
      if (entry.path().string().ends_with("Quillet Log.txt")) {
        std::ifstream in(entry.path());
        all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
    }
    return all;
  }
  const std::string& speaker() const { return speaker_; }

 private:
  std::string home_;
  std::string user_;
  int32_t port_;
  std::string speaker_;
  int pid_ = -1;
};

// A speaker file's samples at 8000 Hz (a wideband call's, at 16000 Hz, averaged in pairs: the
// tones these tests look for lie well below 4 kHz).
std::vector<int16_t> readWav(const std::string& path) {
  platform::WavFileReader reader;
  std::string error;
  if (!reader.open(path, error)) return {};
  std::vector<int16_t> samples(static_cast<size_t>(reader.info().dataBytes / 2));
  samples.resize(reader.read(samples.data(), samples.size()));
  if (reader.info().rate != 2 * kRate) return samples;
  std::vector<int16_t> halved(samples.size() / 2);
  for (size_t i = 0; i < halved.size(); ++i) {
    halved[i] = static_cast<int16_t>((samples[2 * i] + samples[2 * i + 1]) / 2);
  }
  return halved;
}

// A sequence of 50 ms tone bursts of pseudo-random pitch (toneFrequencies gives them).
constexpr size_t kToneSamples = 400;
std::vector<double> toneFrequencies(size_t tones) {
  std::vector<double> out;
  uint32_t seed = 12345;
  double last = 0;
  while (out.size() < tones) {
    seed = seed * 1103515245u + 12345u;
    const double frequency = 300 + (seed >> 16) % 30 * 50;  // 300..1750 Hz in 50 Hz steps
    if (std::abs(frequency - last) >= 150) {                // neighbours clearly apart
      out.push_back(frequency);
      last = frequency;
    }
  }
  return out;
}

std::vector<int16_t> toneSequence(size_t samples) {
  const std::vector<double> frequencies = toneFrequencies(samples / kToneSamples + 1);
  std::vector<int16_t> out(samples);
  double phase = 0;
  for (size_t i = 0; i < samples; ++i) {
    phase += 2 * M_PI * frequencies[i / kToneSamples] / 8000.0;
    out[i] = static_cast<int16_t>(9000 * std::sin(phase));
  }
  return out;
}

// The share of a window's energy at one frequency (Goertzel): near 1 for a pure tone.
double toneShare(const int16_t* x, size_t n, double frequency) {
  const double w = 2 * M_PI * frequency / 8000.0;
  const double c = 2 * std::cos(w);
  double s1 = 0;
  double s2 = 0;
  double energy = 0;
  for (size_t i = 0; i < n; ++i) {
    const double s0 = x[i] + c * s1 - s2;
    s2 = s1;
    s1 = s0;
    energy += static_cast<double>(x[i]) * x[i];
  }
  const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
  return energy > 1e3 * n ? power / (energy * n / 2) : 0.0;
}

size_t tonesHeardInOrder(const std::vector<double>& tones, const std::vector<int16_t>& heard) {
  constexpr size_t kWindow = 120;  // 15 ms: inside one tone even when it is shrunk
  size_t at = 0;
  size_t found = 0;
  for (; found < tones.size(); ++found) {
    while (at + kWindow <= heard.size() && toneShare(&heard[at], kWindow, tones[found]) <= 0.6) {
      at += kWindow / 6;
    }
    if (at + kWindow > heard.size()) break;
  }
  return found;
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
  closeInformBoxes();
  EXPECT_TRUE(sawBox("Quillet", "While a call is ringing or is active you may not change options"));
  EXPECT_TRUE(dialogs_.optionsPages.empty());
  // The status panel shows the call's figures, renewed every second.
  auto* quality = window_->findChild<QLabel*>("statusCallQuality");
  ASSERT_NE(quality, nullptr);
  const QRegularExpression figures(
      R"(^[A-Za-z0-9-]+/\d+(?:/\d)?: sent (\d+), received (\d+), lost \d+ \(\d+\.\d %\), )"
      R"(jitter \d+ ms, )"
      R"(round trip (-|\d+ ms)$)");
  EXPECT_TRUE(pumpUntil([&] { return figures.match(quality->text()).hasMatch(); }, 2s))
      << quality->text().toStdString();
  const int32_t sentBefore = figures.match(quality->text()).captured(1).toInt();
  pumpFor(2500ms);  // the spool reaches Bob
  // What was said while the button was held has gone out by now.
  const QRegularExpressionMatch shown = figures.match(quality->text());
  ASSERT_TRUE(shown.hasMatch()) << quality->text().toStdString();
  EXPECT_GE(shown.captured(1).toInt(), sentBefore);
  EXPECT_GT(shown.captured(1).toInt(), 25) << "0.6 s or more of speech";

  // Hold and resume from the button (silence to Bob meanwhile, so that his speaker file
  // holds nothing but the tones said); the menu entry follows.
  settings().writeInt("Settings", "HoldTone", 0);
  auto* hold = window_->findChild<QPushButton*>("hold");
  ASSERT_NE(hold, nullptr);
  EXPECT_TRUE(hold->isEnabled());
  hold->click();
  ASSERT_TRUE(pumpUntil([&] { return hold->text() == "Resume"; }, 5s)) << bob.log();
  EXPECT_TRUE(window_->action(app::kCommandHold)->isChecked());
  EXPECT_TRUE(logHas("Call held"));
  EXPECT_NE(bob.log().find("Call held by the far end"), std::string::npos) << bob.log();
  hold->click();
  ASSERT_TRUE(pumpUntil([&] { return hold->text() == "Hold"; }, 5s)) << bob.log();
  EXPECT_FALSE(window_->action(app::kCommandHold)->isChecked());
  EXPECT_TRUE(pumpUntil(
      [&] { return bob.log().find("Call resumed by the far end") != std::string::npos; }, 2s));

  window_->runCommand(1000);  // Intercom during the call ends it
  EXPECT_TRUE(logHas("Trying to finish the call ..."));
  ASSERT_TRUE(pumpUntil([&] { return !app_->callActive(); }, 5s));
  EXPECT_TRUE(quality->isHidden());
  EXPECT_FALSE(hold->isEnabled());
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

// A call over TLS whose audio both sides encrypt with SDES keys: the window shows the padlock
// and the tray's status names the suite while the call is on, and neither once it ended.
TEST_F(CallTest, AnEncryptedCallShowsThePadlock) {
  settings().writeText("Settings", "RecordDevice", "file:" + home_ + "/silence.wav");
  settings().writeInt("SIP", "TLSPort", freeUdpPort());
  settings().writeText("DefaultLine", "MediaEncryption", "sdes");
  settings().writeBool("DefaultLine", "TLSVerifyServer", false);  // Bob's own certificate
  const int32_t bobPort = freeUdpPort();
  const int32_t bobTls = freeUdpPort();
  FarEnd bob(home_, "bob", bobPort, freeUdpPort() & ~1, home_ + "/silence.wav",
             "TLSPort=" + std::to_string(bobTls) + "\n", "MediaEncryption=sdes\n");
  ASSERT_TRUE(bob.start()) << bob.log();
  addContact("Bob", "sip:bob@127.0.0.1:" + std::to_string(bobTls) + ";transport=tls");
  settings().writeInt("Recent", "LastRecentIndex", 0);
  start();
  EXPECT_TRUE(window_->callLock()->isHidden());

  window_->runCommand(1000);
  ASSERT_TRUE(pumpUntil([&] { return app_->callActive(); }, 10s)) << bob.log() << logText();
  EXPECT_TRUE(logHas("Media: SRTP AES_CM_128_HMAC_SHA1_80 (SDES)"));
  EXPECT_FALSE(window_->callLock()->isHidden());
  EXPECT_TRUE(window_->callLock()->toolTip().contains("AES_CM_128_HMAC_SHA1_80"));
  EXPECT_EQ(window_->statusText(),
            "Quillet: in a call (encrypted: SRTP AES_CM_128_HMAC_SHA1_80 (SDES))");

  window_->runCommand(1000);
  ASSERT_TRUE(pumpUntil([&] { return !app_->callActive(); }, 5s));
  EXPECT_TRUE(window_->callLock()->isHidden());
  EXPECT_EQ(window_->statusText(), "Quillet: idle");
  bob.stop();
}

// The Calls tab lists the profile's history newest first; a double-click on a row calls
// that far end back, and the call made so comes in at the top of the list.
TEST_F(CallTest, CallHistoryListsTheCallsAndCallsBack) {
  settings().writeText("Settings", "RecordDevice", "file:" + home_ + "/silence.wav");
  FarEnd bob(home_, "bob", freeUdpPort(), freeUdpPort() & ~1, home_ + "/silence.wav");
  ASSERT_TRUE(bob.start()) << bob.log();
  const std::string bobUri = bob.address().substr(4);  // the history keeps it without "sip:"
  const app::CallHistory history(paths_.callHistoryFile());
  app::CallRecord missed;
  missed.start = 1796947200;
  missed.incoming = true;
  missed.uri = bobUri;
  missed.name = "Bob";
  app::CallRecord older = missed;
  older.start -= 3600;
  older.uri = "carol@127.0.0.1:9";
  older.name.clear();
  older.answered = true;
  older.durationSeconds = 75;
  ASSERT_TRUE(history.append(older));
  ASSERT_TRUE(history.append(missed));
  start();

  auto* calls = window_->callHistory();
  ASSERT_NE(calls, nullptr);
  QTreeWidget* list = calls->list();
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "Missed");
  EXPECT_EQ(list->topLevelItem(0)->text(1), "Bob");
  EXPECT_EQ(list->topLevelItem(1)->text(0), "In");
  EXPECT_EQ(list->topLevelItem(1)->text(1), "carol@127.0.0.1:9");
  EXPECT_EQ(list->topLevelItem(1)->text(3), "1:15");
  EXPECT_FALSE(calls->callBackButton()->isEnabled());  // nothing selected yet

  auto* pages = window_->findChild<QTabWidget*>("pages");
  ASSERT_NE(pages, nullptr);
  pages->setCurrentWidget(calls);  // the Calls tab beside the log
  pumpFor(100ms);
  calls->selectRow(0);
  EXPECT_TRUE(calls->callBackButton()->isEnabled());
  const QRect row = list->visualItemRect(list->topLevelItem(0));
  // A real double-click: the first click's press and release, then the second press.
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
  ASSERT_TRUE(pumpUntil([&] { return app_->callActive(); }, 10s)) << bob.log() << logText();
  EXPECT_TRUE(logHas("Calling back " + bobUri));
  pumpFor(1200ms);
  window_->runCommand(1000);  // Intercom during the call ends it
  ASSERT_TRUE(pumpUntil([&] { return !app_->callActive(); }, 5s));

  ASSERT_TRUE(pumpUntil([&] { return list->topLevelItemCount() == 3; }, 2s));
  EXPECT_EQ(list->topLevelItem(0)->text(0), "Intercom out");
  EXPECT_EQ(list->topLevelItem(0)->toolTip(1).toStdString(), bobUri);
  EXPECT_EQ(calls->selectedRow(), 1);  // the selection stays on the call it was on
  if (const char* shots = std::getenv("QUILLET_SCREENSHOTS")) {
    fs::create_directories(shots);
    EXPECT_TRUE(window_->grab().save(QString::fromUtf8(shots) + "/call-history.png"));
  }
  const std::vector<app::CallRecord> stored = history.read();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_TRUE(stored[0].answered);
  EXPECT_FALSE(stored[0].incoming);
  EXPECT_GE(stored[0].durationSeconds, 1);
  EXPECT_EQ(stored[0].endReason, "hung up here");
  bob.stop();
}

// The voicemail indicator shows while messages wait and the tray's status says so; pressing
// it calls the line's VoicemailNumber.
TEST_F(CallTest, VoicemailIndicatorShowsWaitingMessagesAndCallsTheVoicemail) {
  settings().writeText("Settings", "RecordDevice", "file:" + home_ + "/silence.wav");
  FarEnd bob(home_, "bob", freeUdpPort(), freeUdpPort() & ~1, home_ + "/silence.wav");
  ASSERT_TRUE(bob.start()) << bob.log();
  settings().writeText("DefaultLine", "VoicemailNumber", bob.address());
  start();
  auto* indicator = window_->findChild<QPushButton*>("voicemail");
  ASSERT_NE(indicator, nullptr);
  EXPECT_TRUE(indicator->isHidden());
  window_->showVoicemail(true, 3);
  EXPECT_FALSE(indicator->isHidden());
  EXPECT_EQ(indicator->text(), "3 new voicemail messages");
  EXPECT_EQ(window_->statusText(), "Quillet: idle, 3 new voicemail");
  if (const char* shots = std::getenv("QUILLET_SCREENSHOTS")) {
    fs::create_directories(shots);
    EXPECT_TRUE(window_->grab().save(QString::fromUtf8(shots) + "/voicemail.png"));
  }
  QTest::mouseClick(indicator, Qt::LeftButton);
  ASSERT_TRUE(pumpUntil([&] { return app_->callActive(); }, 10s)) << bob.log() << logText();
  EXPECT_TRUE(logHas("Calling the voicemail " + bob.address()));
  window_->runCommand(1000);  // Intercom during the call ends it
  ASSERT_TRUE(pumpUntil([&] { return !app_->callActive(); }, 5s));
  window_->showVoicemail(false, 0);
  EXPECT_TRUE(indicator->isHidden());
  EXPECT_EQ(window_->statusText(), "Quillet: idle");
  bob.stop();
}

}  // namespace
}  // namespace quillet::ui::testing
