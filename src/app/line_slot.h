// SPDX-License-Identifier: Apache-2.0
// LineSlot: the application's holder of one line's SipEngine and of that line's call
// flags, its spool (the caller's speech held until the far end answers) and the pump that
// copies the spool into the call; also of the line's second call (placed while the first
// one waits, so that the two can be joined) on an engine of its own.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "audio/file_buffer.h"
#include "audio/stream_pump.h"
#include "sip/engine_events.h"
#include "sip/sip_engine.h"
#include "sip/transport_kind.h"

namespace quillet::sip {
class SipTransport;
class SipTrace;
}  // namespace quillet::sip

namespace quillet::app {

class IntercomApp;

class LineSlot {
 public:
  // The spool's format: call audio at first at 8000 Hz; each call's spool takes the highest
  // rate of the line's codecs, as the call's sending stream does (spoolRate).
  static constexpr uint32_t kSpoolRate = 8000;
  static constexpr uint32_t kNoActivityMs = 25000;

  LineSlot(IntercomApp& app, int32_t lineIndex);
  ~LineSlot();
  LineSlot(const LineSlot&) = delete;
  LineSlot& operator=(const LineSlot&) = delete;

  // Builds the line's engine anew from its settings (the old one goes after the new one
  // exists) and attaches this slot's events to it.
  void buildEngine(sip::SipTransport& transport, sip::SipTrace* trace);
  sip::SipEngine* engine() { return engine_.get(); }
  // Closing: stops the pump and ends the engines' calls in any state, waiting for them.
  void endCall();
  int32_t lineIndex() const { return lineIndex_; }
  // The transport of the line's registration, as of the last buildEngine.
  sip::TransportKind transport() const { return transport_; }

  // A call of the line's engine or of its second call is ringing or up.
  bool inCall() const;
  // The second call's engine (null when there is no second call).
  sip::SipEngine* second() { return second_.get(); }
  const std::shared_ptr<sip::SipEngine>& secondShared() const { return second_; }
  // Places the second call to the target on a new engine of this line, or of the line of
  // `lineIndex` (its own settings section; the two calls are then joined by re-INVITE). It
  // does not register, and refuses incoming calls (486) unless it was made ready for a
  // waiting call. False when the engine refused the dial (the reason is in the log).
  bool dialSecond(sip::SipTransport& transport, sip::SipTrace* trace, const std::string& target,
                  int32_t lineIndex);
  // Makes the second engine (built now when there is none of this line) take a call that
  // arrives while the line's engine has one, as IntercomApp::screenWaiting lets it: call
  // waiting. Incoming calls reach it after the line's engine, which is busy then.
  void prepareWaiting(sip::SipTransport& transport, sip::SipTrace* trace);
  // After the second call ended: its engine goes once nothing else holds it. Not from
  // within that engine's own event.
  void releaseSecond();

  // The timer identifiers of the no-activity time-out and of letting engines go.
  uint32_t noActivityTimer() const { return 100 + static_cast<uint32_t>(lineIndex_); }
  uint32_t retireTimer() const { return 200 + static_cast<uint32_t>(lineIndex_); }

  // Sending stream for a call of this slot: a new writer end of the spool while it holds
  // unsent speech of a pending call, else the engine's own sending stream (the pump is
  // stopped then, as the spool has nothing more to deliver).
  audio::SinkRef takeSendingStream();
  // A new writer end of the spool (speech queues behind what is there).
  audio::SinkRef spoolWriter();
  // Starts delivering the spool into the call.
  bool startPump();
  // Stops the delivery and lets go of the spool (what it held is dropped).
  void stopPump();
  bool spoolDrained();
  // The highest audio rate of the line's codecs (16000 with Opus or G.722).
  uint32_t spoolRate();

  bool connected = false;
  bool pending = false;
  // The user said yes to talking back before the call was up.
  bool talkBackWhenConnected = false;
  // The call was placed here as a phone call (not an intercom call).
  bool phoneCallPlaced = false;
  std::time_t startTime = 0;

 private:
  class Events;

  // The second engine of `lineIndex`: the one there is, or a new one.
  void ensureSecond(sip::SipTransport& transport, sip::SipTrace* trace, int32_t lineIndex);
  std::shared_ptr<sip::SipEngine> makeEngine(sip::SipTransport& transport, sip::SipTrace* trace,
                                             int32_t lineIndex, bool placesCallsOnly);
  // An engine leaves only on the GUI thread, and only when a join of another engine no
  // longer holds it (SipEngine::Join): at once when nothing holds it, else it waits here,
  // checked by a timer.
  void retire(std::shared_ptr<sip::SipEngine> engine);
  void releaseRetired();

  IntercomApp& app_;
  int32_t lineIndex_;
  sip::TransportKind transport_ = sip::TransportKind::Udp;
  std::shared_ptr<sip::SipEngine> engine_;
  std::shared_ptr<sip::SipEngine> second_;
  int32_t secondLine_ = 0;  // the line index second_ was built for
  std::vector<std::shared_ptr<sip::SipEngine>> retired_;
  audio::FileBufferRef spool_;
  audio::SourceRef spoolReader_;  // held while a placed call has not been answered
  audio::StreamPump pump_;
};

}  // namespace quillet::app
