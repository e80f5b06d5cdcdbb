// SPDX-License-Identifier: Apache-2.0
// EchoControl: the echo control of one call. Its microphone side is an 8000 Hz mono sink
// that runs the linear echo canceller and the NoiseSuppressor behind it, then the
// EchoSuppressor (the noise gate), in front of the sink the call's speech goes to; without
// the canceller the noise suppressor comes after the gate. Its speaker side is a tap on
// what the Player plays, lined up with the microphone by the Player's position.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/echo_canceller.h"
#include "audio/echo_suppressor.h"
#include "audio/noise_suppressor.h"

namespace quillet::base {
class SettingsStore;
}

namespace quillet::audio {

class EchoControl : public AudioSink {
 public:
  static constexpr uint32_t kRate = 8000;
  static constexpr uint32_t kTailMs = 256;         // latencies plus the room's reverberation
  static constexpr uint32_t kHistory = 4 * kRate;  // speaker samples kept (4 s)
  // Where nothing was learned yet (a new profile) the suppressors start from an echo as
  // loud as the speaker, and learn down to the room's own from there.
  static constexpr int32_t kStartCoupling = 1024;
  // The canceller counts as converged once it takes this much out while the far end talks,
  // and as not converged again once it adds echo (kDivergedDb). While it is not, no band of
  // the gate opens further than the suppressor on the plain microphone lets it: double
  // talk is then treated as by the suppressor alone.
  static constexpr double kConvergedDb = 20.0;
  static constexpr double kDivergedDb = 0.0;
  // Taking out an echo that is there leaves the microphone's energy less that of what was
  // taken (in double talk too); taking out one that is not there leaves it plus that. A
  // frame of echo alone that the canceller makes louder, or in which it took out as much as
  // the microphone heard and the output keeps more than the microphone less this share of
  // that, tells that its echo path no longer holds: the speaker's device slipped (it ran
  // dry, or short of a sound server's period, and started again later). The smoothed
  // figure would take a quarter second to fall, and the gate, set for the echo the
  // canceller leaves, would pass the whole echo meanwhile.
  static constexpr double kFitting = 0.25;

  // canceller: the linear canceller in front of the suppressor. It learns the echo path
  // afresh in every call (the devices' latency differs from one call to the next).
  // denoise: the noise suppressor, behind the canceller (it also takes out the echo the
  // canceller leaves) or else after the suppressor.
  EchoControl(const PlayPosition* player, EchoConfig config, bool canceller, bool denoise = false);

  // Microphone samples (8000 Hz mono, any block size; capture thread).
  void Write(const int32_t* samples, uint32_t frames) override;
  void Seek(uint32_t position) override;

  // Where the cleaned speech goes; may change while the microphone runs.
  void setOutput(const SinkRef& sink);
  // The source the Player is to play instead of `played`: everything it reads reaches the
  // echo control as the speaker signal. A 16000 Hz source (a wideband call) is heard at
  // 8000 Hz, its pairs of samples averaged; sources other than 8000 or 16000 Hz mono pass
  // untapped.
  SourceRef tap(const SourceRef& played);

  bool cancelling() const { return canceller_ != nullptr; }

  // Speaker side (the Player's feeder thread): samples read and the source position after.
  void speaker(const int32_t* samples, uint32_t frames, uint32_t position);

 private:
  class Tap;
  class FoldedPosition;
  // The speaker sample (on the tapped timeline) that sounds now, from the Player's position.
  int64_t soundingNow() const;
  int64_t alignedStart(int64_t now);
  bool ranThin(int64_t queued);
  void cancelFrame();
  struct FrameEnergy {
    double in = 0, out = 0, reference = 0, taken = 0;  // microphone, output, speaker, mic - out
  };
  void followConvergence(const FrameEnergy& e, bool realigned, bool thin);
  void mix(bool plain);

  std::unique_ptr<FoldedPosition> folded_;  // the Player's position at 8000 Hz
  const PlayPosition* player_;
  std::optional<StreamRef<EchoSuppressor>> suppressor_;  // the gate, the last stage
  std::optional<StreamRef<EchoSuppressor>> learner_;     // with the canceller: learns the echo
  std::unique_ptr<EchoCanceller> canceller_;
  std::unique_ptr<NoiseSuppressor> denoiser_;             // behind the canceller
  std::optional<StreamRef<NoiseSuppressingSink>> after_;  // without the canceller: after the gate
  std::mutex mutex_;                                      // the microphone path against setOutput

  // Speaker history on one timeline across the sources played (written by the feeder,
  // read by the capture thread: a sample is published by `written_` after it is stored).
  std::unique_ptr<std::atomic<int16_t>[]> history_;
  std::atomic<int64_t> written_{0};      // timeline samples stored
  std::atomic<int64_t> offset_{0};       // timeline minus the current source's position
  std::atomic<int64_t> tapStart_{0};     // timeline where the current source began
  std::atomic<uint32_t> generation_{0};  // taps made: the newest one feeds the history

  // Microphone side (capture thread, under mutex_).
  int64_t next_ = -1;                    // timeline sample lined up with the next microphone sample
  int64_t micFrames_ = 0;                // microphone frames through the canceller
  std::array<int64_t, 50> estimates_{};  // timeline minus microphone frames, last second
  size_t estimateCount_ = 0;
  std::array<int64_t, 50> queued_{};  // speaker samples read, not yet sounded, last second
  size_t queuedCount_ = 0;
  std::vector<int16_t> mic_, ref_, clean_;
  std::vector<int32_t> out_;
  uint32_t fill_ = 0;
  double erleDb_ = 0;  // the canceller's echo loss enhancement, smoothed over far-end frames
  bool converged_ = false;
  static constexpr int32_t kTailFrames = kTailMs / 20;
  int32_t farFrames_ = 0;  // frames left in which the far end's last sound can echo
  bool plain_ = false;     // the last frame was the plain microphone
};

// A call's echo control with the suppressor's learned values of the settings, following the
// Player's position; "UseEchoCanceller" (default on) puts the canceller in front and
// "UseNoiseSuppression" (default on) the noise suppressor behind it.
StreamRef<EchoControl> CreateEchoControl(const PlayPosition* player, base::SettingsStore& store);

}  // namespace quillet::audio
