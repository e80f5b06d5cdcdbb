// LineSlot: building the line's engine, its events, and the spool and pump of a call.
#include "app/line_slot.h"

#include "app/intercom_app.h"
#include "app/line_values.h"
#include "audio/pause_trimmer.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "media/rtp_session.h"
#include "sip/call_media.h"
#include "sip/sip_trace.h"

namespace quillet::app {

// The engine's events as this application answers them; the rest keep their defaults.
class LineSlot::Events : public sip::EngineEvents {
 public:
  Events(IntercomApp& app, LineSlot& slot) : app_(app), slot_(slot) {}

  int Ring(int32_t ring, int32_t previousRing) override {
    return app_.onRing(slot_, ring, previousRing);
  }
  void Connected() override { app_.onConnected(slot_); }
  void PlaybackFailed() override { base::logError("Hold Connection Failed"); }
  void Ended() override { app_.onEnded(slot_); }

 private:
  IntercomApp& app_;
  LineSlot& slot_;
};

LineSlot::LineSlot(IntercomApp& app, int32_t lineIndex)
    : app_(app),
      lineIndex_(lineIndex),
      spool_(std::make_shared<audio::FileBuffer>(kSpoolRate, 1)),
      pump_(app.loop()) {
  pump_.setRealTime(true);
}

LineSlot::~LineSlot() {
  pump_.Stop();
  engine_.reset();
}

void LineSlot::endCall() {
  pump_.Stop();
  if (engine_ != nullptr) {
    engine_->EndCall();
  }
}

void LineSlot::buildEngine(sip::SipTransport& transport, sip::SipTrace* trace) {
  base::SettingsStore& store = base::SettingsStore::global();
  const LineValues values = readLineValues(store, lineIndex_);
  sip::LineIdentity line;
  line.displayName = values.displayName;
  line.userName = values.userName;
  line.server = values.proxy;
  line.outboundServer = values.outboundServer;
  line.authUser = values.authId;
  line.password = values.password;
  line.priority = kLinePriority;
  std::string unknown;
  line.answerHeaders =
      sip::parseAnswerHeaders(store.readText("Intercom", "AnswerHeaders"), &unknown);
  if (!unknown.empty()) {
    base::logError("Intercom/AnswerHeaders: unknown header names ignored: " + unknown);
  }

  // The local address is that of the interface towards the line's server.
  transport.setRouteTarget(line.outboundServer.empty() ? line.server : line.outboundServer);

  media::RtpTrace& rtpTrace = trace != nullptr ? *trace : media::noRtpTrace();
  auto session = std::make_unique<media::RtpSession>(store, rtpTrace);
  const std::string address = store.readText("SIP", "LocalAddress");
  if (!address.empty()) {
    session->setPrivateAddress(address);
  }
  session->setG726Aal2Packing(values.g726Aal2Packing);
  auto media = sip::makeRtpMedia(std::move(session), media::RtpSettings::load(store).sdp);
  auto engine = std::make_unique<sip::SipEngine>(transport, line, std::move(media));
  engine->setEngineEvents(std::make_unique<Events>(app_, *this));
  engine->setIncomingScreen([&app = app_](const sip::SipEngine& engine,
                                          const sip::IncomingCallFacts& facts,
                                          const std::string& caller) {
    return app.screenIncoming(engine, facts, caller);
  });
  engine_ = std::move(engine);  // the previous engine goes only now
}

audio::SinkRef LineSlot::takeSendingStream() {
  if (engine_ == nullptr) {
    return {};
  }
  if (pending && !spool_->IsDrained()) {
    return audio::OpenFileWriter(spool_);
  }
  if (pending) {
    pump_.Stop();
  }
  return engine_->SendingStream();
}

audio::SinkRef LineSlot::spoolWriter() {
  // The buffer drops its file when its last end goes: a reader end held from the first
  // word on keeps what was said while the microphone is off and the far end still rings.
  if (spoolReader_.isNull()) {
    spoolReader_ = audio::OpenFileReader(spool_);
  }
  return audio::OpenFileWriter(spool_);
}

bool LineSlot::startPump() {
  if (engine_ == nullptr) {
    return false;
  }
  audio::SourceRef reader = spoolReader_.isNull() ? audio::OpenFileReader(spool_) : spoolReader_;
  spoolReader_.resetNull();
  // What was said while the far end rang goes out at real time with its long pauses cut,
  // until it has caught up with the microphone.
  reader = audio::makeStream<audio::PauseTrimmer>(reader);
  audio::SinkRef sink = engine_->SendingStream();
  return pump_.Start(reader, sink) != 0;
}

void LineSlot::stopPump() {
  pump_.Stop();
  spoolReader_.resetNull();
}

bool LineSlot::spoolDrained() {
  return spool_->IsDrained();
}

}  // namespace quillet::app
