// SPDX-License-Identifier: Apache-2.0
// EchoControl: the echo control of one call. Its microphone side is a mono sink at the
// call's rate (8000 or 16000 Hz) that runs the linear echo canceller and the NoiseSuppressor behind
// it, then the EchoSuppressor (the noise gate), in front of the sink the call's speech goes to;
// without the canceller the noise suppressor comes after the gate. Its speaker side is a tap on
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
  static constexpr uint32_t kRate = 8000;       // a narrowband call's; a wideband one's is twice
  static constexpr uint32_t kTailMs = 256;      // latencies plus the room's reverberation
  static constexpr uint32_t kHistoryMs = 4000;  // speaker sound kept
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
  // rate: 8000 or 16000 Hz (a wideband call): every stage runs at it.
  EchoControl(const PlayPosition* player, EchoConfig config, bool canceller, bool denoise = false,
              uint32_t rate = kRate);

  // Microphone samples (mono at rate(), any block size; capture thread).
  void Write(const int32_t* samples, uint32_t frames) override;
  void Seek(uint32_t position) override;

  // Where the cleaned speech goes; may change while the microphone runs.
  void setOutput(const SinkRef& sink);
  // The source the Player is to play instead of `played`: everything it reads reaches the
  // echo control as the speaker signal. A source at the other of 8000 and 16000 Hz (the
  // calling sound in a wideband call, a narrowband call's sound after a wideband dial) is
  // heard at the echo control's rate: its pairs of samples averaged, or a sample put
  // between each two. Sources other than 8000 or 16000 Hz mono pass untapped.
  SourceRef tap(const SourceRef& played);

  bool cancelling() const { return canceller_ != nullptr; }

  // Speaker side (the Player's feeder thread): samples read and the source position after.
  void speaker(const int32_t* samples, uint32_t frames, uint32_t position);

 private:
  class Tap;
  class ScaledPosition;
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

  // Samples at the rate in a number of milliseconds.
  int64_t samples(int64_t ms) const { return ms * rate() / 1000; }

  const uint32_t kept_;                     // speaker samples kept
  const uint32_t frame_;                    // samples in the canceller's 20 ms frame
  std::unique_ptr<ScaledPosition> scaled_;  // the Player's position at the rate
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

// A call's echo control at `rate` (8000, or 16000 for a wideband call) with the suppressor's
// learned values of the settings, following the Player's position; "UseEchoCanceller"
// (default on) puts the canceller in front and "UseNoiseSuppression" (default on) the noise
// suppressor behind it.
StreamRef<EchoControl> CreateEchoControl(const PlayPosition* player, base::SettingsStore& store,
                                         uint32_t rate = EchoControl::kRate);

}  // namespace quillet::audio
