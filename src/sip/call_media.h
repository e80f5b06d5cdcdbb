// CallMedia: what a call needs of the line's media session (open the RTP port, make and
// take SDP, start and stop the flow), so that the call logic does not depend on how the
// RTP session is built.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace quillet::sip {

class CallMedia {
 public:
  virtual ~CallMedia() = default;
  // Opens the RTP port and finds its public address (before any SDP of the call).
  virtual void openPort() = 0;
  virtual std::string makeOffer(bool sendOnly) = 0;
  // An empty body is success with nothing done.
  virtual bool takeOffer(std::string_view body, bool sendOnly, std::string& answer) = 0;
  virtual bool takeAnswer(std::string_view body) = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
  // The offer of a session that was never prepared (the body of a 200 to OPTIONS).
  virtual std::string capabilityOffer() = 0;
};

// SDP negotiation without an RTP socket: offers port 0 on the given address. Used where
// no audio is needed (tests of the signalling).
std::unique_ptr<CallMedia> makeSignallingOnlyMedia(std::string address);

}  // namespace quillet::sip
