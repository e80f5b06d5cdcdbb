// SPDX-License-Identifier: Apache-2.0
// LineSlot: building the line's engine, its events, and the spool and pump of a call.
#include "app/line_slot.h"

#include <filesystem>
#include <mutex>
#include <utility>

#include "app/intercom_app.h"
#include "app/line_values.h"
#include "audio/pause_trimmer.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "media/codec_choice.h"
#include "media/rtp_session.h"
#include "platform/paths.h"
#include "sip/call_media.h"
#include "sip/sip_trace.h"
#include "sip/tls_context.h"

namespace quillet::app {

// The engine's events as this application answers them; the rest keep their defaults.
// The second call's engine rings only with a call that waits (prepareWaiting).
class LineSlot::Events : public sip::EngineEvents {
 public:
  Events(IntercomApp& app, LineSlot& slot, bool second) : app_(app), slot_(slot), second_(second) {}

  int Ring(int32_t ring, int32_t previousRing) override {
    return second_ ? app_.onWaitingRing(slot_, ring) : app_.onRing(slot_, ring, previousRing);
  }
  void Connected() override { second_ ? app_.onSecondConnected(slot_) : app_.onConnected(slot_); }
  void EarlyMedia() override {
    second_ ? app_.onSecondEarlyMedia(slot_) : app_.onEarlyMedia(slot_);
  }
  void PlaybackFailed() override { base::logError("Hold Connection Failed"); }
  void Ended() override { second_ ? app_.onSecondEnded(slot_) : app_.onEnded(slot_); }
  void HoldChanged() override { app_.onHoldChanged(slot_); }
  void DtmfReceived(char digit) override {
    if (!second_) app_.onDigitReceived(slot_, digit);
  }

 private:
  IntercomApp& app_;
  LineSlot& slot_;
  bool second_;
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
  app_.loop().killTimer(retireTimer());
  // The line's engine first: its call thread ends, and with it any join holding another.
  engine_.reset();
  second_.reset();
  retired_.clear();
}

bool LineSlot::inCall() const {
  const auto up = [](const std::shared_ptr<sip::SipEngine>& engine) {
    return engine != nullptr && engine->IsInCall();
  };
  return up(engine_) || up(second_);
}

void LineSlot::endCall() {
  pump_.Stop();
  for (const auto& engine : {engine_, second_}) {
    if (engine != nullptr) {
      engine->EndCall();
    }
  }
}

void LineSlot::buildEngine(sip::SipTransport& transport, sip::SipTrace* trace) {
  std::shared_ptr<sip::SipEngine> engine = makeEngine(transport, trace, lineIndex_, false);
  engine->setEngineEvents(std::make_unique<Events>(app_, *this, false));
  engine->setIncomingScreen([&app = app_](const sip::SipEngine& engine,
                                          const sip::IncomingCallFacts& facts,
                                          const std::string& caller) {
    return app.screenIncoming(engine, facts, caller);
  });
  // The previous engines go only now; a second engine of the old settings goes with them
  // (one is built for each second call).
  retire(std::exchange(engine_, std::move(engine)));
  retire(std::move(second_));
}

void LineSlot::ensureSecond(sip::SipTransport& transport, sip::SipTrace* trace, int32_t lineIndex) {
  if (second_ != nullptr && secondLine_ != lineIndex && !second_->IsInCall()) {
    retire(std::move(second_));
  }
  if (second_ == nullptr) {
    second_ = makeEngine(transport, trace, lineIndex, true);
    second_->setEngineEvents(std::make_unique<Events>(app_, *this, true));
    secondLine_ = lineIndex;
  }
}

bool LineSlot::dialSecond(sip::SipTransport& transport, sip::SipTrace* trace,
                          const std::string& target, int32_t lineIndex) {
  ensureSecond(transport, trace, lineIndex);
  return second_->Dial(target) != 0;
}

void LineSlot::prepareWaiting(sip::SipTransport& transport, sip::SipTrace* trace) {
  ensureSecond(transport, trace, lineIndex_);
  if (secondLine_ != lineIndex_) {
    return;  // a second call on another line is up: it is no engine of this line
  }
  second_->setIncomingScreen([&app = app_](const sip::SipEngine& engine,
                                           const sip::IncomingCallFacts& facts,
                                           const std::string& caller) {
    return app.screenWaiting(engine, facts, caller);
  });
}

void LineSlot::releaseSecond() {
  if (second_ != nullptr && !second_->IsInCall()) {
    retire(std::move(second_));
  }
}

void LineSlot::retire(std::shared_ptr<sip::SipEngine> engine) {
  if (engine == nullptr || engine.use_count() == 1) {
    return;  // gone here
  }
  retired_.push_back(std::move(engine));
  if (!app_.loop().timerActive(retireTimer())) {
    app_.loop().startTimer(retireTimer(), 1000, [this] { releaseRetired(); });
  }
}

void LineSlot::releaseRetired() {
  std::erase_if(retired_, [](const auto& engine) { return engine.use_count() == 1; });
  if (!retired_.empty()) {
    app_.loop().startTimer(retireTimer(), 1000, [this] { releaseRetired(); });
  }
}

namespace {

bool fileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

// The profile's DTLS certificate, made on first use.
std::shared_ptr<const media::DtlsIdentity> profileDtlsIdentity() {
  static std::mutex lock;
  static std::shared_ptr<const media::DtlsIdentity> identity;
  std::lock_guard guard(lock);
  if (identity) return identity;
  // Made once and kept in the profile's folder: the key readable by the owner only.
  const std::string folder = platform::profilePaths().dataDir;
  const std::string cert = platform::joinPath(folder, "dtls-cert.pem");
  const std::string key = platform::joinPath(folder, "dtls-key.pem");
  std::string error;
  if (!fileExists(cert) || !fileExists(key)) {
    if (!sip::makeSelfSignedCertificate(cert, key, "quillet", error)) {
      base::logError("DTLS: no certificate could be made: " + error);
      return nullptr;
    }
  }
  if (!sip::keyFileIsPrivate(key, error)) {
    base::logError("DTLS: " + error);
    return nullptr;
  }
  identity = media::DtlsIdentity::load(cert, key, error);
  if (!identity) base::logError("DTLS: the certificate cannot be used: " + error);
  return identity;
}

}  // namespace

std::shared_ptr<sip::SipEngine> LineSlot::makeEngine(sip::SipTransport& transport,
                                                     sip::SipTrace* trace, int32_t lineIndex,
                                                     bool placesCallsOnly) {
  base::SettingsStore& store = base::SettingsStore::global();
  const LineValues values = readLineValues(store, lineIndex);
  if (!placesCallsOnly) {
    transport_ = lineTransport(values);  // the engine that registers the line
  }
  sip::LineIdentity line;
  line.displayName = values.displayName;
  line.userName = values.userName;
  line.server = values.proxy;
  line.outboundServer = values.outboundServer;
  line.authUser = values.authId;
  line.password = values.password;
  line.priority = kLinePriority;
  line.transport = values.transport;
  line.tls.caFile = values.tlsCaFile;
  line.tls.verifyServer = values.tlsVerifyServer;
  line.tls.certFile = values.tlsCertFile;
  line.tls.keyFile = values.tlsKeyFile;
  line.placesCallsOnly = placesCallsOnly;
  line.mailbox = values.mailboxUri;
  std::string unknown;
  line.answerHeaders =
      sip::parseAnswerHeaders(store.readText("Intercom", "AnswerHeaders"), &unknown);
  if (!unknown.empty()) {
    base::logError("Intercom/AnswerHeaders: unknown header names ignored: " + unknown);
  }

  // The local address is that of the interface towards the line's server (the default
  // line's: a second call's engine leaves it as it is).
  if (!placesCallsOnly) {
    transport.setRouteTarget(line.outboundServer.empty() ? line.server : line.outboundServer);
  }

  media::RtpTrace& rtpTrace = trace != nullptr ? *trace : media::noRtpTrace();
  auto session = std::make_unique<media::RtpSession>(store, rtpTrace);
  const std::string address = store.readText("SIP", "LocalAddress");
  if (!address.empty()) {
    session->setPrivateAddress(address);
  }
  session->setG726Aal2Packing(values.g726Aal2Packing);
  session->setCodecs(values.codecs);
  session->setOpusBitRate(values.opusBitRate);
  session->setEncryption(values.mediaEncryption, values.mediaEncryptionRequired);
  if (values.mediaEncryption == media::EncryptionMode::Dtls ||
      values.mediaEncryption == media::EncryptionMode::Auto) {
    session->setDtlsIdentity(profileDtlsIdentity());
  }
  media::SdpSettings sdp = media::RtpSettings::load(store).sdp;
  sdp.codecs = values.codecs;
  auto media = sip::makeRtpMedia(std::move(session), sdp);
  return std::make_shared<sip::SipEngine>(transport, line, std::move(media));
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
    // At the line's highest codec rate, which the call's sending stream takes: the pump
    // then copies without resampling.
    const uint32_t rate = spoolRate();
    if (spool_->rate() != rate && spool_->IsDrained()) {
      spool_ = std::make_shared<audio::FileBuffer>(rate, 1);
    }
    spoolReader_ = audio::OpenFileReader(spool_);
  }
  return audio::OpenFileWriter(spool_);
}

uint32_t LineSlot::spoolRate() {
  base::SettingsStore& store = base::SettingsStore::global();
  std::vector<std::string> problems;  // logged when the line's engine is built
  std::vector<codecs::CodecId> order =
      media::parseCodecList(store.readText(lineSection(store, lineIndex_), "Codecs"), problems);
  if (order.empty()) order = media::defaultCodecOrder(store.readInt("SIP", "Quality", 50));
  return static_cast<uint32_t>(media::highestRate(order));
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
