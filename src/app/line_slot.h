// LineSlot: the application's holder of one line's SipEngine and of that line's call
// flags, its spool (the caller's speech held until the far end answers) and the pump that
// copies the spool into the call.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "audio/file_buffer.h"
#include "audio/stream_pump.h"
#include "sip/engine_events.h"
#include "sip/sip_engine.h"

namespace quillet::sip {
class SipTransport;
class SipTrace;
}  // namespace quillet::sip

namespace quillet::app {

class IntercomApp;

class LineSlot {
 public:
  // The spool's format: call audio.
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
  // Closing: stops the pump and ends the engine's call in any state, waiting for it.
  void endCall();
  int32_t lineIndex() const { return lineIndex_; }

  // The timer identifier of the no-activity time-out on the main loop.
  uint32_t noActivityTimer() const { return 100 + static_cast<uint32_t>(lineIndex_); }

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

  bool connected = false;
  bool pending = false;
  // The user said yes to talking back before the call was up.
  bool talkBackWhenConnected = false;
  std::time_t startTime = 0;

 private:
  class Events;

  IntercomApp& app_;
  int32_t lineIndex_;
  std::unique_ptr<sip::SipEngine> engine_;
  audio::FileBufferRef spool_;
  audio::SourceRef spoolReader_;  // held while a placed call has not been answered
  audio::StreamPump pump_;
};

}  // namespace quillet::app
