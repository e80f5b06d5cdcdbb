// Signalling-only media: real SDP negotiation over a bound (but unused) RTP port.
#include "sip/call_media.h"

#include "media/sdp_session.h"
#include "platform/socket.h"

namespace quillet::sip {

namespace {

class SignallingOnlyMedia : public CallMedia {
 public:
  explicit SignallingOnlyMedia(std::string address) : address_(std::move(address)) {}

  void openPort() override {
    // An even port from 8000 upward, so that the SDP names a port nobody else uses.
    for (uint16_t port = 8000; port < 65534; port += 2) {
      if (platform::bindUdp(socket_, port)) {
        port_ = port;
        return;
      }
    }
    port_ = 0;
  }
  std::string makeOffer(bool sendOnly) override {
    sdp_.prepare(address_, port_, address_, port_);
    return sdp_.makeOffer(sendOnly);
  }
  bool takeOffer(std::string_view body, bool sendOnly, std::string& answer) override {
    if (body.empty()) return true;
    sdp_.prepare(address_, port_, address_, port_);
    return sdp_.takeOffer(body, sendOnly, answer);
  }
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

}  // namespace

std::unique_ptr<CallMedia> makeSignallingOnlyMedia(std::string address) {
  return std::make_unique<SignallingOnlyMedia>(std::move(address));
}

}  // namespace quillet::sip
