// SPDX-License-Identifier: Apache-2.0
// sip_peer: a SipEngine on a SipTransport driven from standard input, for the SIP interop
// tests. It prints what happens on standard output, one line each:
//   LOG I|E <text>      a log line of the SIP subsystem
//   EVENT <name> [args] an engine event (ring N, connected, ended)
//   READY <port>        the SIP socket is bound
// Commands (one per line): dial TARGET, answer, hangup, transfer TARGET, join (the first line's
// call with the second line's), hold, resume, state, dtmf DIGITS, stats, quit; "line2 COMMAND"
// gives a command to the second line (--line2 USER[@SERVER]), whose events are printed as EVENT2.
// End of input or SIGTERM quits too (hanging up and un-registering first). With --play WAV (8000 Hz
// mono 16-bit) the file is sent into each connected call in real time; with --record WAV what the
// far end sends is written there, from its early media on. --session and --min-session set the
// session interval asked for and the least accepted.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/converters.h"
#include "base/notify_window.h"
#include "base/worker_thread.h"
#include "media/rtp_session.h"
#include "platform/audio_device_wav.h"
#include "platform/message_loop.h"
#include "platform/paths.h"
#include "sip/dialog_reaper.h"
#include "sip/engine_events.h"
#include "sip/sip_engine.h"
#include "sip/sip_log.h"
#include "sip/sip_trace.h"
#include "sip/sip_transport.h"

namespace {

using namespace quillet;

std::mutex outputLock;
void out(const std::string& line) {
  std::lock_guard lock(outputLock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int signalPipe[2] = {-1, -1};
void onSignal(int) {
  const char c = 'q';
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

// Plays a WAV file into the call and records the far end, both in real time, while a call
// is connected.
class CallAudio {
 public:
  CallAudio(std::string playPath, std::string recordPath)
      : playPath_(std::move(playPath)), recordPath_(std::move(recordPath)) {}
  ~CallAudio() { stop(); }

  // Connected: sending starts, and recording unless the early media started it already.
  void start(sip::SipEngine& engine) {
    running_ = true;
    if (!playPath_.empty() && !sender_.joinable()) {
      // The file is at 8000 Hz; a wideband call's stream gets it resampled.
      audio::SinkRef sink = engine.SendingStream();
      if (!sink.isNull()) sink = audio::MakeResamplingSink(8000, sink);
      sender_ = std::thread([this, sink]() mutable { send(sink); });
    }
    startRecording(engine);
  }
  void startRecording(sip::SipEngine& engine) {
    running_ = true;
    if (!recordPath_.empty() && !receiver_.joinable()) {
      audio::SourceRef source = engine.ReceivingStream();
      if (!source.isNull()) source = audio::MakeResamplingSource(8000, source);
      receiver_ = std::thread([this, source]() mutable { receive(source); });
    }
  }
  void stop() {
    running_ = false;
    if (sender_.joinable()) sender_.join();
    if (receiver_.joinable()) receiver_.join();
  }

 private:
  void send(audio::SinkRef& sink) {
    platform::WavFileReader reader;
    std::string error;
    if (!reader.open(playPath_, error)) {
      out("AUDIO play failed: " + error);
      return;
    }
    int16_t pcm[160];
    int32_t frame[160];
    auto next = std::chrono::steady_clock::now();
    while (running_) {
      const size_t n = reader.read(pcm, 160);
      for (size_t i = 0; i < 160; ++i) frame[i] = i < n ? pcm[i] * 16 : 0;
      sink->Write(frame, 160);
      next += std::chrono::milliseconds(20);
      std::this_thread::sleep_until(next);
    }
  }
  void receive(audio::SourceRef& source) {
    platform::WavFileWriter writer;
    std::string error;
    if (!writer.create(recordPath_, 8000, 1, error)) {
      out("AUDIO record failed: " + error);
      return;
    }
    int32_t frame[160];
    int16_t pcm[160];
    auto next = std::chrono::steady_clock::now();
    while (running_) {
      next += std::chrono::milliseconds(20);
      std::this_thread::sleep_until(next);
      source->Read(frame, 160);
      for (size_t i = 0; i < 160; ++i) pcm[i] = static_cast<int16_t>(frame[i] / 16);
      writer.write(pcm, 160);
    }
  }

  std::string playPath_;
  std::string recordPath_;
  std::atomic<bool> running_{false};
  std::thread sender_;
  std::thread receiver_;
};

CallAudio* callAudio = nullptr;

enum class AnswerPolicy { Auto, Manual, Reject, AfterRings };

class PeerEvents : public sip::EngineEvents {
 public:
  PeerEvents(AnswerPolicy policy, int rings, std::string tag = "EVENT", bool audio = true)
      : policy_(policy), rings_(rings), tag_(std::move(tag)), audio_(audio) {}
  int Ring(int32_t ring, int32_t previous) override {
    out(tag_ + " ring " + std::to_string(ring) + " " + std::to_string(previous));
    switch (policy_) {
      case AnswerPolicy::Auto:
        return 1;
      case AnswerPolicy::AfterRings:
        return ring >= rings_ ? 1 : 0;
      case AnswerPolicy::Reject:
        if (engine()) engine()->HangUp();
        return 0;
      case AnswerPolicy::Manual:
        return 0;
    }
    return 0;
  }
  void EarlyMedia() override {
    out(tag_ + " early");
    if (audio_ && callAudio) callAudio->startRecording(*static_cast<sip::SipEngine*>(engine()));
  }
  void Connected() override {
    out(tag_ + " connected");
    if (audio_ && callAudio) callAudio->start(*static_cast<sip::SipEngine*>(engine()));
  }
  void Ended() override {
    if (audio_ && callAudio) callAudio->stop();
    out(tag_ + " ended");
  }
  void DtmfSent() override { out(tag_ + " dtmfsent"); }

 private:
  AnswerPolicy policy_;
  int rings_;
  std::string tag_;
  bool audio_;
};

void usage() {
  std::fprintf(
      stderr,
      "usage: sip_peer --user NAME [--display NAME] [--server HOST[:PORT]]\n"
      "  [--outbound HOST[:PORT] | --no-outbound] [--auth-user NAME] [--password PW] [--port N]\n"
      "  [--address A.B.C.D] [--answer auto|manual|reject|rings=N]\n"
      "  [--trace DIR [--trace-audio]] [--line2 USER[@SERVER]] [--bridge-quiet-ms N]\n"
      "  [--session SECONDS] [--min-session SECONDS]\n");
}

}  // namespace

int main(int argc, char** argv) {
  sip::LineIdentity line;
  sip::TransportSettings settings;
  settings.stun = false;
  std::string address = "127.0.0.1";
  std::string traceDir;
  bool traceAudio = false;
  bool noOutbound = false;
  bool signallingOnly = false;
  std::string playPath;
  std::string recordPath;
  AnswerPolicy policy = AnswerPolicy::Auto;
  int answerRings = 1;
  std::string line2;
  int bridgeQuietMs = 0;
  uint32_t sessionSeconds = sip::kDefaultSessionSeconds;
  uint32_t minSessionSeconds = sip::kDefaultMinSessionSeconds;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--user") {
      line.userName = value();
    } else if (arg == "--display") {
      line.displayName = value();
    } else if (arg == "--server") {
      line.server = value();
    } else if (arg == "--outbound") {
      line.outboundServer = value();
    } else if (arg == "--auth-user") {
      line.authUser = value();
    } else if (arg == "--password") {
      line.password = value();
    } else if (arg == "--port") {
      settings.port = std::atoi(value().c_str());
    } else if (arg == "--address") {
      address = value();
    } else if (arg == "--answer") {
      const std::string v = value();
      if (v == "auto") {
        policy = AnswerPolicy::Auto;
      } else if (v == "manual") {
        policy = AnswerPolicy::Manual;
      } else if (v == "reject") {
        policy = AnswerPolicy::Reject;
      } else if (v.rfind("rings=", 0) == 0) {
        policy = AnswerPolicy::AfterRings;
        answerRings = std::atoi(v.c_str() + 6);
      } else {
        usage();
        return 2;
      }
    } else if (arg == "--no-outbound") {
      noOutbound = true;
    } else if (arg == "--trace") {
      traceDir = value();
    } else if (arg == "--play") {
      playPath = value();
    } else if (arg == "--record") {
      recordPath = value();
    } else if (arg == "--signalling-only") {
      signallingOnly = true;
    } else if (arg == "--line2") {
      line2 = value();
    } else if (arg == "--bridge-quiet-ms") {
      bridgeQuietMs = std::atoi(value().c_str());
    } else if (arg == "--session") {
      sessionSeconds = static_cast<uint32_t>(std::atoi(value().c_str()));
    } else if (arg == "--min-session") {
      minSessionSeconds = static_cast<uint32_t>(std::atoi(value().c_str()));
    } else if (arg == "--trace-audio") {
      traceAudio = true;
    } else {
      usage();
      return 2;
    }
  }
  if (line.userName.empty()) {
    usage();
    return 2;
  }
  if (line.authUser.empty()) line.authUser = line.userName;
  // As a line does by default: requests go to the server itself.
  if (line.outboundServer.empty() && !noOutbound) line.outboundServer = line.server;

  platform::PlainMessageLoop loop;
  platform::setGuiLoop(&loop);
  sip::setSipLogHook([](sip::SipLogLevel level, const std::string& text) {
    out(std::string(level == sip::SipLogLevel::Error ? "LOG E " : "LOG I ") + text);
  });

  std::unique_ptr<sip::SipTrace> trace;
  if (!traceDir.empty()) trace = std::make_unique<sip::SipTrace>(traceDir, true, traceAudio);
  sip::SipTransport transport(trace.get());
  transport.setSettingsSource([settings] { return settings; });
  transport.setPrivateAddressSource([address] { return address; });
  std::unique_ptr<sip::CallMedia> media;
  if (signallingOnly) {
    media = sip::makeSignallingOnlyMedia(address);
  } else {
    media::RtpSettings rtp;
    rtp.nat.stun = false;
    auto session = std::make_unique<media::RtpSession>(
        rtp, trace ? static_cast<media::RtpTrace&>(*trace) : media::noRtpTrace());
    session->setPrivateAddress(address);
    media = sip::makeRtpMedia(std::move(session), rtp.sdp);
  }
  CallAudio audio(playPath, recordPath);
  callAudio = &audio;
  auto engine = std::make_unique<sip::SipEngine>(transport, line, std::move(media));
  engine->setEngineEvents(std::make_unique<PeerEvents>(policy, answerRings));
  // A second line on the same transport, for joins: its own user and perhaps server.
  std::shared_ptr<sip::SipEngine> engine2;
  if (!line2.empty()) {
    sip::LineIdentity second = line;
    const size_t at = line2.find('@');
    second.userName = line2.substr(0, at);
    second.authUser = second.userName;
    if (at != std::string::npos) second.server = line2.substr(at + 1);
    engine2 =
        std::make_unique<sip::SipEngine>(transport, second, sip::makeSignallingOnlyMedia(address));
    engine2->setEngineEvents(std::make_unique<PeerEvents>(policy, answerRings, "EVENT2", false));
  }
  if (bridgeQuietMs > 0) engine->setBridgeQuietProbe(static_cast<uint32_t>(bridgeQuietMs));
  engine->setSessionInterval(sessionSeconds, minSessionSeconds);
  transport.restart();
  transport.waitReady(10000);
  out("READY " + std::to_string(transport.boundPort()));

  if (::pipe(signalPipe) != 0) return 1;
  ::signal(SIGTERM, onSignal);
  ::signal(SIGINT, onSignal);
  loop.watchFd(signalPipe[0], [&] { loop.quit(0); });

  std::string pending;
  loop.watchFd(STDIN_FILENO, [&] {
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      loop.unwatchFd(STDIN_FILENO);
      loop.quit(0);
      return;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string command = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!command.empty() && command.back() == '\r') command.pop_back();
      sip::SipEngine* target = engine.get();
      if (command.rfind("line2 ", 0) == 0) {
        if (!engine2) {
          out("RESULT no line2");
          continue;
        }
        target = engine2.get();
        command.erase(0, 6);
      }
      sip::SipEngine* const engine = target;  // the line this command is for
      const size_t blank = command.find(' ');
      const std::string verb = command.substr(0, blank);
      const std::string rest = blank == std::string::npos ? "" : command.substr(blank + 1);
      if (verb == "dial") {
        out("RESULT dial " + std::to_string(engine->Dial(rest)));
      } else if (verb == "answer") {
        out("RESULT answer " + std::to_string(engine->Answer()));
      } else if (verb == "hangup") {
        engine->HangUp();
        out("RESULT hangup");
      } else if (verb == "transfer") {
        engine->Transfer(rest);
        out("RESULT transfer");
      } else if (verb == "join") {
        engine->Join(engine2);
        out("RESULT join");
      } else if (verb == "hold" || verb == "resume") {
        engine->SetHold(verb == "hold");
        out("RESULT " + verb);
      } else if (verb == "dtmf") {
        engine->SendDtmf(rest);
        out("RESULT dtmf");
      } else if (verb == "stats") {
        out("STATS cache=" + std::to_string(transport.responseCache().size()) +
            " cachebytes=" + std::to_string(transport.responseCache().bytes()) +
            " received=" + std::to_string(transport.datagramsReceived()) +
            " dropped=" + std::to_string(transport.datagramsDropped()) +
            " reaped=" + std::to_string(transport.reaper().recordCount()));
      } else if (verb == "state") {
        out("STATE " + std::to_string(engine->callState()));
      } else if (verb == "quit") {
        loop.quit(0);
      } else if (!verb.empty()) {
        out("RESULT unknown " + verb);
      }
    }
  });
  loop.run();

  // As the program closes: hang up, un-register (the transport's shutdown, which also lets
  // the reaper finish a BYE), then let the engine go.
  audio.stop();
  engine->HangUp();
  for (int i = 0; i < 200 && engine->IsInCall(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (engine2) engine2->HangUp();
  base::DetachedWorkerList::global().StopAll();  // bridged parties get their BYE first
  transport.shutdown();
  engine2.reset();
  engine.reset();
  callAudio = nullptr;
  out("EXITED");
  platform::setGuiLoop(nullptr);
  return 0;
}
