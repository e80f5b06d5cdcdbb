// SPDX-License-Identifier: Apache-2.0
// CallMedia: what a call needs of the line's media session (open the RTP port, make and
// take SDP, start and stop the flow, the call's audio streams and digits), so that the call
// logic does not depend on how the media session is built.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "audio/audio_stream.h"
#include "media/hold_sound.h"
#include "media/rtcp_stats.h"
#include "media/sdp_session.h"
#include "platform/event.h"
#include "platform/socket_address.h"

namespace quillet::media {
class RtpSession;
}  // namespace quillet::media

namespace quillet::sip {

// Where a port is opened from: the call thread's stop event (cancels the public address
// probes) and the far end's address (picks the local interface and the family; empty when
// unknown).
struct PortOpening {
  platform::Event* stop = nullptr;
  platform::SocketAddress towards;
};

// The running call's figures as the window and quillet-tool show them.
struct CallFigures {
  media::CallQuality quality;
  std::string codec;  // "PCMU/8000", ...; empty before the SDP exchange
};

class CallMedia {
 public:
  virtual ~CallMedia() = default;
  // Opens the RTP port and finds its public address (before any SDP of the call). False
  // when no socket could be had: the call cannot carry audio.
  virtual bool openPort(const PortOpening& opening) = 0;
  virtual std::string makeOffer(media::MediaDirection direction) = 0;
  // An empty body is success with nothing done. The answer's direction follows the offer's
  // and `wanted` (media::answerDirection).
  virtual bool takeOffer(std::string_view body, media::MediaDirection wanted,
                         std::string& answer) = 0;
  virtual bool takeAnswer(std::string_view body) = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
  // The offer of a session that was never prepared (the body of a 200 to OPTIONS).
  virtual std::string capabilityOffer() = 0;
  // What the far end's last SDP stated of the audio's direction (an address of 0.0.0.0
  // taking nothing).
  virtual media::MediaDirection peerDirection() const = 0;
  // What goes to the far end instead of the call's sending stream while the call is held
  // here (HoldSound::None: the stream goes out).
  virtual void setHoldSound(media::HoldSound /*sound*/) {}

  // What is written into it goes to the far end (a null sink without audio).
  virtual audio::SinkRef sendingStream() { return {}; }
  // The far end's audio, 8000 Hz mono (a null source without audio).
  virtual audio::SourceRef receivingStream() { return {}; }
  // Queues telephone-event digits; `onEmpty` runs (on the sender's thread) when the queue
  // has run empty. False when this media cannot send digits.
  virtual bool sendDigits(std::string_view /*digits*/) { return false; }
  virtual void setDigitsListener(std::function<void()> /*onEmpty*/) {}
  // Digits the far end sends go to `listener`, on the media's receive thread.
  virtual void setReceivedDigitsListener(std::function<void(char)> /*listener*/) {}

  // Whether the call's signalling is encrypted (TLS): keys for the media go only over such
  // signalling. Set before the call's first SDP.
  virtual void setSignallingSecure(bool /*secure*/) {}
  // The status that refuses the far end's offer when takeOffer failed: 488 when its media
  // would not be safe (plain where encryption is required, keys that cannot be taken, a
  // transport this side does not do), else 415 (no codec in common).
  virtual int32_t refusalStatus() const { return 415; }
  // The call's media encryption ("SRTP AES_CM_128_HMAC_SHA1_80 (SDES)"); empty while plain.
  virtual std::string encryption() const { return {}; }
  // Called (on a media thread) when the call's media turned out not to be safe: the call
  // should end.
  virtual void setFailureListener(std::function<void()> /*onFailure*/) {}
  // The figures of the call so far (any thread); none without real media.
  virtual std::optional<CallFigures> figures() const { return std::nullopt; }
};

// SDP negotiation over a bound but unused RTP port: no audio flows. For signalling tests.
std::unique_ptr<CallMedia> makeSignallingOnlyMedia(std::string address);

// The real media session of a line: an RtpSession with its SDP, receive thread and digits.
// `sdpSettings` gives the capability offer for OPTIONS.
std::unique_ptr<CallMedia> makeRtpMedia(std::unique_ptr<media::RtpSession> session,
                                        const media::SdpSettings& sdpSettings);

}  // namespace quillet::sip
