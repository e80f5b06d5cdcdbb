// SPDX-License-Identifier: Apache-2.0
// The boundary between the application and a line's SipEngine: the line interface the
// application calls (requests) and EngineEvents, through which the engine reports back
// on the GUI thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "audio/audio_stream.h"

namespace quillet::sip {

class LineInterface;

// Events, raised only on the GUI thread by the engine's event pump. The defaults are
// those of an engine without application events: answer on the first ring, hang up when
// playing or recording into the call stops.
class EngineEvents {
 public:
  virtual ~EngineEvents() = default;

  // The ring count has grown while the call rings. Non-zero: answer now.
  virtual int Ring(int32_t ring, int32_t previousRing);
  virtual void Connected() {}
  // The far end of an outgoing call sends its audio before answering (a ringback or an
  // announcement): the call's receiving stream carries it.
  virtual void EarlyMedia() {}
  virtual void DtmfSent() {}
  // A digit the far end sent during the call (a telephone event).
  virtual void DtmfReceived(char /*digit*/) {}
  virtual void PlaybackFailed();
  virtual void LevelRecordingStopped();
  virtual void RecordingStopped();
  virtual void RecordingPosition(int32_t /*value*/) {}
  virtual void RecordingLevel(int8_t /*level*/) {}
  virtual void PlaybackPosition(int32_t /*value*/) {}
  virtual void PlaybackLevel(int8_t /*level*/) {}
  virtual void Ended() {}
  // The call was put on hold or resumed, here or by the far end (SipEngine::heldHere,
  // heldThere).
  virtual void HoldChanged() {}

  // The engine these events belong to (set when attached).
  LineInterface* engine() const { return engine_; }
  void setEngine(LineInterface* engine) { engine_ = engine; }

 private:
  LineInterface* engine_ = nullptr;
};

// The line interface, in the order of its operations; defaults do nothing (or answer 0).
class LineInterface {
 public:
  virtual ~LineInterface() = default;
  virtual int IsInCall() { return 1; }
  virtual int Answer() { return 0; }
  virtual int Dial(std::string_view /*target*/) { return 0; }
  virtual int LineKind() { return 0; }
  virtual void SendDtmf(std::string_view /*digits*/) {}
  virtual void Transfer(std::string_view /*target*/) {}
  virtual void HangUp() {}
  // Playing sends a source to the far end; recording takes the far end's audio.
  virtual void PlayIntoCall(const audio::SourceRef& /*source*/) {}
  virtual void SeekPlayIntoCall(int32_t /*ms*/) {}
  virtual void RecordCall(const audio::SinkRef& /*sink*/, int32_t /*maxLengthMs*/,
                          int8_t /*startLevel*/, int32_t /*bufferMs*/) {}
  virtual void RecordCallLevels(int32_t /*maxLengthMs*/, int8_t /*startLevel*/,
                                int32_t /*bufferMs*/) {}
  virtual void RecordCallFrom(int32_t /*maxLengthMs*/, const audio::SourceRef& /*source*/) {}
  virtual void StopMedia() {}
  virtual audio::SinkRef SendingStream() { return {}; }
  virtual audio::SourceRef ReceivingStream() { return {}; }
  virtual int IsRecording() { return 0; }
};

}  // namespace quillet::sip
