// SPDX-License-Identifier: Apache-2.0
// Tests of IntercomApp on a real message loop, SIP transport and line over loopback, with
// a window-less window, scripted prompts and a temporary profile: the line check, engine
// restarts, command-line options, hot keys, the Intercom button, a second call, nested
// loops of calls and closing during a call.
#include "app/intercom_app.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/app_test_support.h"
#include "app/app_window.h"
#include "base/application.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "contacts/contact_store.h"
#include "platform/message_loop.h"
#include "platform/paths.h"
#include "platform/prompts.h"
#include "sip/far_end_test_util.h"

namespace quillet::app {
namespace {

using Clock = std::chrono::steady_clock;

using sip::testutil::FarEnd;

// Everything the far end received so far, without waiting.
std::string drain(FarEnd& peer) {
  std::string all;
  for (std::string datagram; !(datagram = peer.receive(0)).empty();) {
    all += datagram;
  }
  return all;
}

// A request of the caller `user` (at the peer's port) to the application's port, all in the
// dialog of one INVITE: the INVITE asks to be answered by itself and offers PCMU, CANCEL
// carries the INVITE's branch, ACK and BYE the To tag of the answer.
std::string doorRequest(const std::string& method, const std::string& user, uint16_t peerPort,
                        uint16_t appPort, const std::string& toTag = {}) {
  const std::string app = "sip:alice@127.0.0.1:" + std::to_string(appPort);
  const std::string peer = "sip:" + user + "@127.0.0.1:" + std::to_string(peerPort);
  const bool invite = method == "INVITE";
  const std::string sdp = invite ? sip::testutil::mediaOffer(peerPort + 2) : "";
  const std::string branch = invite || method == "CANCEL" ? user : method + user;
  std::string text =
      method + " " + app + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peerPort) +
      ";branch=z9hG4bK" + branch + "\r\nMax-Forwards: 70\r\nFrom: <" + peer + ">;tag=7\r\nTo: <" +
      app + ">" + (toTag.empty() ? "" : ";tag=" + toTag) + "\r\nCall-ID: " + user +
      "-call\r\nCSeq: " + (method == "BYE" ? "2 " : "1 ") + method + "\r\n";
  if (invite) {
    text += "Contact: <" + peer + ">\r\nAnswer-Mode: Auto\r\nContent-Type: application/sdp\r\n";
  }
  return text + "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

// The To tag of the first response with this status in the text ("" when none yet).
std::string toTagOf(const std::string& answers, const std::string& status = "200") {
  const size_t at = answers.find("SIP/2.0 " + status);
  if (at == std::string::npos) {
    return {};
  }
  const std::string to = sip::testutil::headerOf(answers.substr(at), "To");
  const size_t tag = to.find(";tag=");
  return tag == std::string::npos ? ""
                                  : to.substr(tag + 5, to.find_first_of(";>", tag + 5) - tag - 5);
}

int countLines(const base::LogView& view, const std::string& text) {
  int count = 0;
  for (const base::LogViewLine& line : view.lines()) {
    count += line.message == text ? 1 : 0;
  }
  return count;
}

class IntercomAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base::LogWriter::instance().setView(&view_);
    platform::setGuiLoop(&loop_);
  }

  void TearDown() override {
    app_.reset();
    loop_.runPending();
    platform::setGuiLoop(nullptr);
    base::LogWriter::instance().setView(nullptr);
  }

  static base::SettingsStore& settings() { return base::SettingsStore::global(); }
  static uint16_t appPort() { return static_cast<uint16_t>(settings().readInt("SIP", "Port", 0)); }

  // The far end `peer` sends a request of the dialog of `user` to the application.
  static void send(FarEnd& peer, const std::string& method, const std::string& user,
                   const std::string& toTag = {}) {
    peer.send(appPort(), doorRequest(method, user, peer.port(), appPort(), toTag));
  }

  // Creates and initialises the application; `window_` watches its window.
  void start() {
    auto window = std::make_unique<HeadlessWindow>();
    window_ = window.get();
    env_ = std::make_unique<base::AppEnvironment>(
        base::AppEnvironment{loop_, prompts_, true, {"quillet"}, paths_});
    app_ = std::make_unique<IntercomApp>(*env_, std::move(window));
    ASSERT_TRUE(app_->initialise());
    loop_.runPending();
  }

  void stop() {
    app_.reset();
    window_ = nullptr;
    loop_.runPending();
  }

  // Runs the loop until the condition holds or the time is up.
  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return testing::pumpUntil([this] { loop_.runPending(); }, done, limit);
  }

  void pumpFor(std::chrono::milliseconds span) {
    pumpUntil([] { return false; }, span);
  }

  // A pump for tests with answering peers: the loop runs until `done` holds or `span` ends,
  // each peer answering what the program sends it.
  template <typename... Peers>
  auto servingFor(Peers&... peers) {
    return [this, &peers...](std::chrono::milliseconds span, const std::function<bool()>& done) {
      const uint16_t port = appPort();
      return pumpUntil(
          [&] {
            (peers.serve(port), ...);
            return done();
          },
          span);
    };
  }

  testing::TestProfile profile_;
  const platform::ProfilePaths& paths_ = profile_.paths();
  base::LogView view_;
  platform::PlainMessageLoop loop_;
  platform::ScriptedPrompts prompts_{loop_, platform::PromptAnswer::No};
  std::unique_ptr<base::AppEnvironment> env_;
  HeadlessWindow* window_ = nullptr;
  std::unique_ptr<IntercomApp> app_;
};

// A line that has a user name needs no question at the check (the question without one is
// the window test's first run). With a contact but none selected the Intercom button is
// disabled; a selection restored from LastRecentIndex, pressed and released before the far
// end answers, is CallTest's (the window's button) and HotKeyIntercomIsPushToTalk's.
TEST_F(IntercomAppTest, CheckedLineAsksNothingAndTheButtonWaitsForAContact) {
  contacts::createContactStore()->add("Bob", "sip:bob@127.0.0.1:9", "");
  start();
  const size_t before = prompts_.informed().size();
  app_->command(kCommandCheckLine);
  EXPECT_EQ(prompts_.informed().size(), before);
  EXPECT_NE(window_->status().find("alice"), std::string::npos) << window_->status();
  ASSERT_EQ(window_->rows().size(), 1u);
  EXPECT_EQ(window_->buttonText(), "Intercom (F5)");
  EXPECT_EQ(window_->buttonState(), IntercomButtonState::Disabled);
}

// The window options in their order; -dial of a callto address without digits, -dtmf and
// -hangup without a call do nothing; the options after -exit are not applied.
TEST_F(IntercomAppTest, CommandLineShowsHidesAndExits) {
  start();
  ASSERT_TRUE(window_->visible());
  app_->applyArguments({"quillet", "-hide"});
  EXPECT_FALSE(window_->visible());
  app_->applyArguments({"quillet"});  // no options: show
  EXPECT_TRUE(window_->visible());
  app_->applyArguments({"quillet", "-show", "-logon"});
  EXPECT_FALSE(window_->visible());
  app_->applyArguments({"quillet", "-dial", "callto:nobody", "-dtmf", "123", "-hangup", "-show"});
  EXPECT_TRUE(window_->visible());
  EXPECT_EQ(app_->slot()->engine()->IsInCall(), 0);
  EXPECT_EQ(app_->currentSlot(), 1);

  app_->command(kCommandDoNotDisturb);
  settings().writeBool("Settings", "DoNotDisturb", false);
  app_->applyArguments({"quillet", "-exit", "-hide"});
  EXPECT_TRUE(loop_.closing());
  EXPECT_TRUE(window_->visible());
  // Closing writes the do-not-disturb flag.
  EXPECT_TRUE(settings().readBool("Settings", "DoNotDisturb", false));
}

// Started minimized, the window hides after the start. Show and hide act at once; any other
// press (here an identifier past the records) sets the guard for 800 ms, and a repeat
// while it is set restarts it with 500 ms from the repeat.
TEST_F(IntercomAppTest, HotKeysShowHideAndTimeTheGuard) {
  settings().writeBool("Settings", "StartMinimized", true);
  base::RegistryList list(settings(), "Hotkey/Details");
  list.writeInt(list.add(), "Command", 2);  // Show Quillet
  list.writeInt(list.add(), "Command", 3);  // Hide Quillet
  start();
  ASSERT_TRUE(pumpUntil([&] { return !window_->visible(); }, std::chrono::seconds(2)));
  app_->runHotKey(0);
  EXPECT_TRUE(window_->visible());
  app_->runHotKey(1);
  EXPECT_FALSE(window_->visible());
  EXPECT_FALSE(app_->hotKeyGuard());
  EXPECT_FALSE(loop_.timerActive(IntercomApp::kHotKeyGuardTimer));

  auto pressed = Clock::now();
  app_->runHotKey(2);
  EXPECT_TRUE(app_->hotKeyGuard());
  ASSERT_TRUE(pumpUntil([&] { return !app_->hotKeyGuard(); }, std::chrono::seconds(5)));
  EXPECT_GE(Clock::now() - pressed, std::chrono::milliseconds(790));
  EXPECT_FALSE(loop_.timerActive(IntercomApp::kHotKeyGuardTimer));

  pressed = Clock::now();
  app_->runHotKey(2);
  pumpFor(std::chrono::milliseconds(400));
  const auto repeated = Clock::now();
  app_->runHotKey(2);
  ASSERT_TRUE(pumpUntil([&] { return Clock::now() - pressed >= std::chrono::milliseconds(820); },
                        std::chrono::seconds(2)));
  EXPECT_TRUE(app_->hotKeyGuard());
  ASSERT_TRUE(pumpUntil([&] { return !app_->hotKeyGuard(); }, std::chrono::seconds(5)));
  EXPECT_GE(Clock::now() - repeated, std::chrono::milliseconds(490));
}

// The state of the capture controls of a mixer (the tests' ALSA control plugin keeps its
// values in this process).
struct CaptureLines {
  unsigned source = 99;
  int mic = -1, line = -1, aux = -1;
};

CaptureLines readCaptureLines(const char* card) {
  CaptureLines lines;
  snd_mixer_t* m = nullptr;
  if (snd_mixer_open(&m, 0) < 0) return lines;
  snd_mixer_attach(m, card);
  snd_mixer_selem_register(m, nullptr, nullptr);
  snd_mixer_load(m);
  auto find = [m](const char* name) {
    snd_mixer_selem_id_t* id;
    snd_mixer_selem_id_alloca(&id);
    snd_mixer_selem_id_set_name(id, name);
    return snd_mixer_find_selem(m, id);
  };
  snd_mixer_selem_get_enum_item(find("Input Source"), SND_MIXER_SCHN_MONO, &lines.source);
  snd_mixer_selem_get_capture_switch(find("Mic"), SND_MIXER_SCHN_FRONT_LEFT, &lines.mic);
  snd_mixer_selem_get_capture_switch(find("Line"), SND_MIXER_SCHN_FRONT_LEFT, &lines.line);
  snd_mixer_selem_get_capture_switch(find("Aux"), SND_MIXER_SCHN_FRONT_LEFT, &lines.aux);
  snd_mixer_close(m);
  return lines;
}

// The microphone of a call is opened on the stored input line ("RecordDeviceChannel" 3: the
// third line), and only that line is left on.
TEST_F(IntercomAppTest, CallsMicrophoneUsesTheStoredInputLine) {
  const char* build = std::getenv("QUILLET_BUILD_DIR");
  const std::string dir = build != nullptr ? std::string(build) + "/tests/audio_devices" : "";
  if (dir.empty() || !std::filesystem::exists(dir + "/libasound_module_ctl_quillet_mixer.so") ||
      !std::filesystem::exists(dir + "/libasound_module_pcm_quillet_paced.so")) {
    GTEST_SKIP() << "needs the ALSA test plugins of tests/audio_devices";
  }
  ::setenv("ALSA_CONFIG_PATH",
           ("/usr/share/alsa/alsa.conf:" + dir + "/quillet-test-alsa.conf").c_str(), 1);
  settings().writeText("Settings", "RecordDevice", "quillet_card:CARD=Selector");
  settings().writeInt("Settings", "RecordDeviceChannel", 3);
  FarEnd peer;  // never answers
  start();
  ASSERT_TRUE(app_->startOrAnswer("sip:bob@127.0.0.1:" + std::to_string(peer.port())));
  const CaptureLines lines = readCaptureLines("hw:Selector");
  app_.reset();
  ::unsetenv("ALSA_CONFIG_PATH");
  EXPECT_EQ(lines.source, 2u);  // "Aux"
  EXPECT_EQ(lines.aux, 1);
  EXPECT_EQ(lines.mic, 0);
  EXPECT_EQ(lines.line, 0);
}

TEST_F(IntercomAppTest, EngineRestartWaitsForTheCallToEnd) {
  FarEnd peer;  // never answers
  start();
  const std::string restarting = "Restarting so settings take effect.";
  const int before = countLines(view_, restarting);
  app_->restartEngine();
  EXPECT_EQ(countLines(view_, restarting), before + 1);
  EXPECT_FALSE(loop_.timerActive(IntercomApp::kRestartTimer));

  ASSERT_TRUE(app_->startOrAnswer("sip:bob@127.0.0.1:" + std::to_string(peer.port())));
  sip::SipEngine* engine = app_->slot()->engine();
  ASSERT_NE(engine->IsInCall(), 0);
  EXPECT_EQ(window_->lineTransport(), sip::TransportKind::Udp);
  settings().writeText("DefaultLine", "Transport", "tcp");
  app_->restartEngine();
  EXPECT_TRUE(loop_.timerActive(IntercomApp::kRestartTimer));
  EXPECT_EQ(countLines(view_, restarting), before + 1);
  EXPECT_EQ(app_->slot()->engine(), engine);                     // the engine with the call stays
  EXPECT_EQ(window_->lineTransport(), sip::TransportKind::Udp);  // and so does its transport

  engine->HangUp();
  ASSERT_TRUE(pumpUntil([&] { return engine->IsInCall() == 0; }, std::chrono::seconds(5)));
  app_->restartEngine();  // what timer 2 runs
  EXPECT_FALSE(loop_.timerActive(IntercomApp::kRestartTimer));
  EXPECT_EQ(countLines(view_, restarting), before + 2);
  EXPECT_EQ(window_->lineTransport(), sip::TransportKind::Tcp);

  // A headless run shows a line problem in its log and keeps it until the line registers.
  const std::string problem = "TLS: the certificate of pbx.example.org was refused";
  window_->showLineProblem(problem);
  EXPECT_EQ(countLines(view_, problem), 1);
  EXPECT_EQ(window_->lineProblem(), problem);
  window_->noteLineRegistered();
  EXPECT_EQ(window_->lineProblem(), "");
}

// The window's Phone Call places a phone call to the selected contact: its INVITE asks for
// no auto-answer; a -call while it rings is refused, and -hangup cancels it.
TEST_F(IntercomAppTest, PhoneCallAsksNoAutoAnswerAndHangUpCancelsIt) {
  FarEnd peer;  // rings, never answers
  const std::string target = "sip:bob@127.0.0.1:" + std::to_string(peer.port());
  contacts::createContactStore()->add("Bob", target, "");
  settings().writeInt("Recent", "LastRecentIndex", 0);
  start();
  app_->command(kCommandPhoneCall);  // the window's Phone Call, on the selected contact
  std::string invite = peer.receive();
  while (invite.rfind("SUBSCRIBE ", 0) == 0) invite = peer.receive();  // the contact's lamp
  ASSERT_EQ(invite.rfind("INVITE ", 0), 0u) << invite;
  EXPECT_EQ(invite.find("Answer-Mode"), std::string::npos);
  EXPECT_EQ(app_->currentSlot(), 0);
  EXPECT_EQ(window_->buttonText(), "Cancel (F5)");
  app_->applyArguments({"quillet", "-call", target});
  EXPECT_EQ(countLines(view_, "No phone call placed: the line has a call"), 1);
  const std::string via = sip::testutil::headerOf(invite, "Via");
  const std::string to = sip::testutil::headerOf(invite, "To");
  peer.send(appPort(), "SIP/2.0 180 Ringing\r\nVia: " + via + "\r\nFrom: " +
                           sip::testutil::headerOf(invite, "From") + "\r\nTo: " + to +
                           ";tag=b1\r\nCall-ID: " + sip::testutil::headerOf(invite, "Call-ID") +
                           "\r\nCSeq: " + sip::testutil::headerOf(invite, "CSeq") +
                           "\r\nContent-Length: 0\r\n\r\n");
  pumpFor(std::chrono::milliseconds(200));
  app_->applyArguments({"quillet", "-hangup"});
  std::string cancel;
  ASSERT_TRUE(pumpUntil(
      [&] {
        cancel += drain(peer);
        return cancel.find("CANCEL ") != std::string::npos;
      },
      std::chrono::seconds(5)))
      << cancel;
  EXPECT_EQ(app_->currentSlot(), 1);
}

TEST_F(IntercomAppTest, HotKeyIntercomIsPushToTalk) {
  FarEnd peer;  // never answers
  base::RegistryList list(settings(), "Hotkey/Details");
  const int32_t record = list.add();
  list.writeInt(record, "Command", 1);  // Intercom with CommandTo
  list.writeText(record, "CommandTo", "sip:door@127.0.0.1:" + std::to_string(peer.port()));
  start();
  app_->runHotKey(0);
  EXPECT_TRUE(app_->hotKeyGuard());
  EXPECT_EQ(app_->currentSlot(), 0);
  EXPECT_NE(app_->slot()->engine()->IsInCall(), 0);
  EXPECT_EQ(window_->buttonText(), "Cancel (F5)");
  // The key is let go: when the guard ends the microphone stops; the call keeps ringing so
  // that the far end still hears what was said when it answers.
  ASSERT_TRUE(pumpUntil([&] { return !app_->hotKeyGuard(); }, std::chrono::seconds(5)));
  EXPECT_EQ(app_->currentSlot(), 1);
  EXPECT_TRUE(app_->slot()->pending);
  EXPECT_NE(app_->slot()->engine()->IsInCall(), 0);
  EXPECT_EQ(window_->buttonText(), "Intercom (F5)");
}

// A far end that picks up: every INVITE gets 200 with PCMU towards its media socket, and
// BYE gets 200. It counts the requests by method and the RTP packets that reach it.
class AnsweringPeer {
 public:
  std::string address(const std::string& user) const {
    return "sip:" + user + "@127.0.0.1:" + std::to_string(sip_.port());
  }
  void serve(uint16_t appPort) {
    for (std::string text; !(text = sip_.receive(0)).empty();) {
      const std::string method = text.substr(0, text.find(' '));
      if (method == "SIP/2.0") {
        responses_ += text;
        continue;
      }
      ++requests_[method];
      const std::string sdp = method != "INVITE" ? "" : sip::testutil::mediaOffer(media_.port());
      if (method == "INVITE" || method == "BYE") {
        sip_.send(appPort, sip::testutil::responseTo(text, "200 OK", "far", contact(), sdp));
      }
    }
    while (!media_.receive(0).empty()) {
      ++rtp_;
    }
  }
  int requests(const std::string& method) { return requests_[method]; }
  uint16_t port() const { return sip_.port(); }
  // A request of its own to the application, and the responses it got so far.
  void request(uint16_t appPort, const std::string& text) { sip_.send(appPort, text); }
  const std::string& responses() const { return responses_; }
  // RTP packets since the last call.
  int takeRtp() { return std::exchange(rtp_, 0); }

 private:
  std::string contact() const {
    return "Contact: <sip:far@127.0.0.1:" + std::to_string(sip_.port()) + ">\r\n";
  }

  sip::testutil::FarEnd sip_;
  sip::testutil::FarEnd media_;
  std::map<std::string, int> requests_;
  std::string responses_;
  int rtp_ = 0;
};

// While a second call is up, letting the Intercom button go, and the Intercom command, end
// that call and not the waiting one, whose far end gets the microphone back; pressing the
// button leaves the microphone with the second call.
TEST_F(IntercomAppTest, IntercomButtonAndCommandEndTheSecondCall) {
  AnsweringPeer bob;
  AnsweringPeer dave;
  start();
  auto serveFor = servingFor(bob, dave);
  ASSERT_TRUE(app_->startOrAnswer(bob.address("bob")));
  ASSERT_TRUE(serveFor(std::chrono::seconds(5), [&] { return app_->callActive(); }));
  // The running call's figures: in the window from the start, renewed every second, and
  // the answer to the control socket's question.
  const std::optional<sip::CallFigures> first = window_->callQuality();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(serveFor(std::chrono::milliseconds(1500), [&] {
    return window_->callQuality() &&
           window_->callQuality()->quality.packetsSent > first->quality.packetsSent;
  }));
  const std::optional<std::string> stats = app_->callQuery({"stats"});
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->rfind(R"({"call":true,"codec":")", 0), 0u) << *stats;
  EXPECT_FALSE(app_->callQuery({"consult", dave.address("dave")}).has_value());
  for (const int32_t way : {kCommandIntercomUp, kCommandIntercom}) {
    SCOPED_TRACE(way);
    const int started = countLines(view_, "The second call was started; the first call waits");
    const int byes = dave.requests("BYE");
    ASSERT_EQ(app_->callCommand({"consult", dave.address("dave")}), "");
    ASSERT_TRUE(serveFor(std::chrono::seconds(5), [&] {
      return countLines(view_, "The second call was started; the first call waits") > started;
    }));
    // The first far end hears nothing while the second call has the microphone.
    serveFor(std::chrono::milliseconds(300), [] { return false; });
    bob.takeRtp();
    if (way == kCommandIntercomUp) {
      app_->command(kCommandIntercomDown);
    }
    serveFor(std::chrono::milliseconds(400), [] { return false; });
    EXPECT_LT(bob.takeRtp(), 5);
    app_->command(way);
    EXPECT_TRUE(serveFor(std::chrono::seconds(5), [&] { return dave.requests("BYE") > byes; }));
    int rtp = 0;
    EXPECT_TRUE(serveFor(std::chrono::seconds(3), [&] { return (rtp += bob.takeRtp()) >= 10; }));
    EXPECT_EQ(bob.requests("BYE"), 0);
    EXPECT_TRUE(app_->callActive());
  }
}

// Call waiting. While the line's call is up, a phone call (no auto-answer asked, AnswerAll
// off) is refused with do-not-disturb on (480) and busy with Settings/CallWaiting=0 (486),
// else it rings (180) and is listed as waiting;
// -answer holds the first call and connects it, Switch swaps the two, and hanging up the
// active call leaves the held one held until it is resumed.
TEST_F(IntercomAppTest, ACallWaitsIsAnsweredAndSwitched) {
  settings().writeBool("Intercom", "AnswerAll", false);
  AnsweringPeer bob;
  AnsweringPeer carol;
  start();
  const uint16_t port = appPort();
  auto serveFor = servingFor(bob, carol);
  auto phoneCall = [&](const std::string& method, const std::string& user,
                       const std::string& toTag = {}) {
    std::string text = doorRequest(method, user, carol.port(), port, toTag);
    const std::string ask = "Answer-Mode: Auto\r\n";
    if (const size_t at = text.find(ask); at != std::string::npos) text.erase(at, ask.size());
    carol.request(port, text);
  };
  auto states = [&] {
    std::vector<CallShown> shown;
    for (const CallEntry& call : window_->calls()) shown.push_back(call.state);
    return shown;
  };
  using enum CallShown;
  ASSERT_TRUE(app_->startOrAnswer(bob.address("bob")));
  ASSERT_TRUE(serveFor(std::chrono::seconds(5), [&] { return app_->callActive(); }));

  app_->setDoNotDisturb(true);
  phoneCall("INVITE", "quiet");
  EXPECT_TRUE(serveFor(std::chrono::seconds(5),
                       [&] { return carol.responses().find("SIP/2.0 480") != std::string::npos; }));
  app_->setDoNotDisturb(false);
  settings().writeBool("Settings", "CallWaiting", false);
  phoneCall("INVITE", "early");
  EXPECT_TRUE(serveFor(std::chrono::seconds(5),
                       [&] { return carol.responses().find("SIP/2.0 486") != std::string::npos; }));
  EXPECT_TRUE(window_->calls().empty());

  settings().writeBool("Settings", "CallWaiting", true);
  phoneCall("INVITE", "carol");
  ASSERT_TRUE(serveFor(std::chrono::seconds(5), [&] {
    return states().size() == 2 && carol.responses().find("SIP/2.0 180") != std::string::npos;
  })) << carol.responses();
  EXPECT_EQ(states(), (std::vector<CallShown>{Active, Waiting}));
  EXPECT_NE(window_->calls()[1].party.find("carol@"), std::string::npos);

  app_->applyArguments({"quillet", "-answer"});
  ASSERT_TRUE(serveFor(std::chrono::seconds(5),
                       [&] { return !toTagOf(carol.responses(), "200").empty(); }));
  phoneCall("ACK", "carol", toTagOf(carol.responses(), "200"));
  EXPECT_TRUE(serveFor(std::chrono::seconds(5), [&] {
    return states() == std::vector<CallShown>{Held, Active};
  }));
  EXPECT_EQ(bob.requests("INVITE"), 2);  // the call's, then the hold's re-INVITE

  app_->command(kCommandSwitchCall);
  EXPECT_TRUE(serveFor(std::chrono::seconds(5), [&] {
    return states() == std::vector<CallShown>{Active, Held};
  }));
  EXPECT_TRUE(window_->holdEnabled());
  EXPECT_FALSE(window_->held());

  // The active call ends: the held one stays held, and is the one Resume takes back.
  app_->applyArguments({"quillet", "-hangup"});
  ASSERT_TRUE(serveFor(std::chrono::seconds(5), [&] { return states() == std::vector{Held}; }));
  EXPECT_EQ(carol.requests("BYE"), 0);
  EXPECT_TRUE(window_->held());
  EXPECT_EQ(app_->callCommand({"resume"}), "");
  EXPECT_TRUE(serveFor(std::chrono::seconds(5), [&] { return states() == std::vector{Active}; }));
  EXPECT_EQ(app_->callCommand({"resume"}), "the call is not on hold");
  // The line's own engine is free now, but the line is busy with the call that waited.
  phoneCall("INVITE", "late");
  EXPECT_TRUE(serveFor(std::chrono::seconds(5), [&] {
    const std::string& all = carol.responses();
    for (size_t at = 0; (at = all.find("SIP/2.0 486", at)) != std::string::npos; ++at) {
      if (all.compare(all.find("Call-ID: ", at) + 9, 9, "late-call") == 0) return true;
    }
    return false;
  }));
  EXPECT_EQ(states(), std::vector{Active});

  // Its end: in the call history, answered, newest first before the first call.
  app_->applyArguments({"quillet", "-hangup"});
  ASSERT_TRUE(serveFor(std::chrono::seconds(5), [&] { return window_->history().size() == 2; }));
  EXPECT_TRUE(window_->calls().empty());
  const CallRecord& waited = window_->history().front();
  EXPECT_NE(waited.uri.find("carol@"), std::string::npos);
  EXPECT_TRUE(waited.incoming);
  EXPECT_TRUE(waited.answered);
  EXPECT_FALSE(waited.intercom);
}

// Calls that ring and are cancelled while the ring sound plays, one after another: no
// wait nests (the loop never runs a level of its own for them), and the next call is
// still answered.
TEST_F(IntercomAppTest, RingsOfCallsThatComeAndGoNeverNest) {
  FarEnd peer;  // never answers
  start();
  int deepest = 0;
  std::function<void()> sample = [&] {
    deepest = std::max(deepest, loop_.depth());
    loop_.startTimer(78, 2, sample);
  };
  loop_.startTimer(78, 2, sample);
  for (int i = 0; i < 6; ++i) {
    const std::string user = "door" + std::to_string(i);
    send(peer, "INVITE", user);
    ASSERT_TRUE(pumpUntil([&] { return app_->slot()->engine()->callState() != 0; },
                          std::chrono::seconds(5)));
    pumpFor(std::chrono::milliseconds(150));
    send(peer, "CANCEL", user);
    std::string answers;
    ASSERT_TRUE(pumpUntil(
        [&] {
          answers += drain(peer);
          return !toTagOf(answers, "487").empty();
        },
        std::chrono::seconds(5)));
    send(peer, "ACK", user, toTagOf(answers, "487"));
    ASSERT_TRUE(pumpUntil([&] { return app_->slot()->engine()->callState() == 0; },
                          std::chrono::seconds(5)));
  }
  EXPECT_EQ(deepest, 0);
  const int answered = countLines(view_, "Answering call...");
  send(peer, "INVITE", "carol");
  EXPECT_TRUE(pumpUntil([&] { return countLines(view_, "Answering call...") > answered; },
                        std::chrono::seconds(5)));
  loop_.killTimer(78);
}

// A call that ends closes its talk-back question and no other question that is open.
TEST_F(IntercomAppTest, CallEndClosesOnlyTheTalkBackQuestion) {
  FarEnd peer;  // never answers
  start();
  prompts_.push(std::nullopt);  // the other question stays open
  prompts_.push(std::nullopt);  // and so does the talk-back question
  platform::PromptAnswer other = platform::PromptAnswer::Retry;
  bool otherOpen = false;
  loop_.post([&] {
    otherOpen = true;
    other = env_->prompts.ask({"Other", "Another question", platform::PromptButtons::YesNo,
                               platform::PromptIcon::Question, "other"});
    otherOpen = false;
  });
  std::string answers;
  bool byeSent = false;
  bool otherStillOpen = false;
  // Everything below runs inside the other question's loop level.
  std::function<void()> drive = [&] {
    answers += drain(peer);
    const std::string tag = toTagOf(answers);
    if (!byeSent && !tag.empty() && prompts_.openCount() == 2) {
      byeSent = true;
      send(peer, "ACK", "door", tag);
      send(peer, "BYE", "door", tag);
    }
    if (byeSent && prompts_.openCount() == 1 && !app_->callActive() &&
        app_->slot()->engine()->callState() == 0) {
      otherStillOpen = otherOpen;
      prompts_.dismiss("other", platform::PromptAnswer::Yes);
      return;
    }
    loop_.startTimer(79, 5, drive);
  };
  loop_.startTimer(79, 5, drive);
  send(peer, "INVITE", "door");
  ASSERT_TRUE(
      pumpUntil([&] { return other != platform::PromptAnswer::Retry; }, std::chrono::seconds(10)))
      << answers;
  EXPECT_TRUE(byeSent);
  EXPECT_TRUE(otherStillOpen);
  EXPECT_EQ(other, platform::PromptAnswer::Yes);
  EXPECT_EQ(prompts_.openCount(), 0);
}

// The close hot key and the Exit command while the talk-back question is open: the close
// runs inside the question's loop level (the sanitizer build catches a slot or engine freed
// under a loop that is still on the stack) and the call ends with BYE. Closing in each call
// state (ringing, question, talk-back) by a signal and by -exit, which call the same close
// from a loop level, is close_e2e's, in the sanitizer build too.
class CloseDuringCallTest : public IntercomAppTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CloseDuringCallTest, EndsTheCallAndShutsDownCleanly) {
  const bool byHotKey = GetParam();
  base::RegistryList list(settings(), "Hotkey/Details");
  list.writeInt(list.add(), "Command", 4);  // Close Quillet
  prompts_.push(std::nullopt);              // the talk-back question stays open
  FarEnd peer;                              // never answers
  start();
  std::string answers;
  bool acked = false;
  std::function<void()> watch = [&] {
    answers += drain(peer);
    const std::string tag = toTagOf(answers);
    if (!acked && !tag.empty()) {
      acked = true;
      send(peer, "ACK", "door", tag);
    }
    if (!app_->callActive() || prompts_.openCount() != 1) {
      loop_.startTimer(77, 5, watch);
    } else if (byHotKey) {
      app_->runHotKey(0);
    } else {
      app_->command(kCommandExit);
    }
  };
  loop_.startTimer(77, 5, watch);
  send(peer, "INVITE", "door");
  ASSERT_TRUE(pumpUntil([&] { return loop_.closing(); }, std::chrono::seconds(10))) << answers;
  stop();  // the shut-down deferred until no loop level runs
  answers += drain(peer);
  EXPECT_NE(answers.find("BYE sip:"), std::string::npos) << answers;
}

INSTANTIATE_TEST_SUITE_P(HotKeyAndExitCommand, CloseDuringCallTest, ::testing::Bool());

}  // namespace
}  // namespace quillet::app
