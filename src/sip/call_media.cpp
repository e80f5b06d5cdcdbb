// SPDX-License-Identifier: Apache-2.0
// The media sessions a SipEngine can drive: the RTP session of a line, or SDP alone.
#include "sip/call_media.h"

#include "codecs/audio_codec.h"
#include "media/codec_choice.h"
#include "media/rtp_session.h"
#include "media/sdp_session.h"
#include "platform/socket.h"

namespace quillet::sip {

namespace {

class SignallingOnlyMedia : public CallMedia {
 public:
  explicit SignallingOnlyMedia(std::string address) : address_(std::move(address)) {}

  bool openPort(const PortOpening&) override {
    // An even port from 8000 upward, so that the SDP names a port nobody else uses.
    for (uint16_t port = 8000; port < 65534; port += 2) {
      if (platform::bindUdp(socket_, port)) {
        port_ = port;
        return true;
      }
    }
    port_ = 0;
    return false;
  }
  std::string makeOffer(media::MediaDirection direction) override {
    sdp_.prepare(address_, port_, address_, port_);
    return sdp_.makeOffer(direction);
  }
  bool takeOffer(std::string_view body, media::MediaDirection wanted,
                 std::string& answer) override {
    if (body.empty()) return true;
    sdp_.prepare(address_, port_, address_, port_);
    return sdp_.takeOffer(body, wanted, answer);
  }
  media::MediaDirection peerDirection() const override { return sdp_.peerDirection(); }
  bool takeAnswer(std::string_view body) override { return body.empty() || sdp_.takeAnswer(body); }
  void start() override {}
  void stop() override { socket_.reset(); }
  std::string capabilityOffer() override {
    return media::SdpSession::makeCapabilityOffer(media::SdpSettings{});
  }

 private:
  std::string address_;
  media::SdpSession sdp_;
  platform::UniqueFd socket_;
  uint16_t port_ = 0;
};

class RtpMedia : public CallMedia {
 public:
  RtpMedia(std::unique_ptr<media::RtpSession> session, const media::SdpSettings& sdpSettings)
      : session_(std::move(session)), sdpSettings_(sdpSettings) {}
  ~RtpMedia() override { session_->stop(); }

  bool openPort(const PortOpening& opening) override {
    session_->openPort(opening.stop, opening.towards);
    return session_->socketOpen();
  }
  std::string makeOffer(media::MediaDirection direction) override {
    return session_->makeOffer(direction);
  }
  bool takeOffer(std::string_view body, media::MediaDirection wanted,
                 std::string& answer) override {
    return session_->takeOffer(body, wanted, answer);
  }
  media::MediaDirection peerDirection() const override { return session_->peerDirection(); }
  void setHoldSound(media::HoldSound sound) override { session_->setHoldSound(sound); }
  bool takeAnswer(std::string_view body) override { return session_->takeAnswer(body); }
  void start() override { session_->start(); }
  void stop() override { session_->stop(); }
  std::string capabilityOffer() override {
    return media::SdpSession::makeCapabilityOffer(sdpSettings_);
  }
  audio::SinkRef sendingStream() override { return session_->createCaptureSink(false); }
  audio::SourceRef receivingStream() override { return session_->attachPlayback(); }
  bool sendDigits(std::string_view digits) override {
    session_->sendDigits(digits);
    return true;
  }
  void setDigitsListener(std::function<void()> onEmpty) override {
    session_->setDigitsListener(std::move(onEmpty));
  }
  void setReceivedDigitsListener(std::function<void(char)> listener) override {
    session_->setReceivedDigitsListener(std::move(listener));
  }
  void setSignallingSecure(bool secure) override { session_->setSignallingSecure(secure); }
  int32_t refusalStatus() const override {
    const media::SdpRefusal why = session_->sdp().refusal();
    return why == media::SdpRefusal::None || why == media::SdpRefusal::NoCodec ? 415 : 488;
  }
  std::string encryption() const override { return session_->encryption(); }
  void setFailureListener(std::function<void()> onFailure) override {
    session_->setFailureListener(std::move(onFailure));
  }
  std::optional<CallFigures> figures() const override {
    CallFigures figures{session_->callQuality(), {}};
    std::optional<codecs::CodecId> codec = codecs::codecForPayloadType(
        session_->chosenPayloadType(), g726Type(session_->g726PayloadType()),
        g726Type(session_->g726Aal2PayloadType()));
    if (session_->chosenPayloadType() != media::kNoPayloadType &&
        media::isWideband(session_->chosenCodec())) {
      codec = session_->chosenCodec();
    }
    if (codec) {
      figures.codec = codecs::codecInfo(*codec).rtpmap;
    }
    return figures;
  }

 private:
  static int g726Type(uint8_t type) { return type == media::kNoPayloadType ? -1 : type; }

  std::unique_ptr<media::RtpSession> session_;
  media::SdpSettings sdpSettings_;
};

}  // namespace

std::unique_ptr<CallMedia> makeSignallingOnlyMedia(std::string address) {
  return std::make_unique<SignallingOnlyMedia>(std::move(address));
}

std::unique_ptr<CallMedia> makeRtpMedia(std::unique_ptr<media::RtpSession> session,
                                        const media::SdpSettings& sdpSettings) {
  return std::make_unique<RtpMedia>(std::move(session), sdpSettings);
}

}  // namespace quillet::sip
