// SPDX-License-Identifier: Apache-2.0
// The two stream interfaces every piece of audio moves through (AudioSink, pushed to;
// AudioSource, pulled from), their reference-counted handle StreamRef and the null streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <utility>

namespace quillet::audio {

// Internal samples are signed 32-bit values holding a 16-bit PCM value times 16.
constexpr int32_t kSampleMax = 524272;
constexpr int32_t kSampleMin = -524288;
// Declared peak range of every source the program makes itself.
constexpr int32_t kProgramPeakRange = 524272;

// Flag bit 0 of a stream: a null stream (no device, no call, nothing to play), or a stream
// created with an invalid format.
constexpr uint8_t kStreamNull = 0x01;

// Error kinds a NullSource carries when a sound file could not be used.
enum class StreamError : uint8_t {
  kNone = 0,
  kNotWave = 3,      // not a readable RIFF/WAVE file
  kCannotOpen = 4,   // the file cannot be opened
  kUnsupported = 5,  // a format the program does not play
};

// The reference count shared by sinks and sources. The count lives in the object; StreamRef
// moves it, and the object deletes itself through its virtual destructor at 0.
class StreamObject {
 public:
  StreamObject() = default;
  StreamObject(const StreamObject&) = delete;
  StreamObject& operator=(const StreamObject&) = delete;
  virtual ~StreamObject() = default;

  void addRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  uint32_t refCount() const { return refs_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> refs_{0};
};

// A pointer to a sink or source that keeps it alive. A StreamRef never holds nothing: a
// default one (and one reset with resetNull) holds a fresh null stream of its kind.
template <class T>
class StreamRef {
 public:
  StreamRef() : p_(T::newNull()) { p_->addRef(); }
  // Takes a newly made object (count 0); passing nullptr gives a null stream.
  explicit StreamRef(T* p) : p_(p != nullptr ? p : nullFor()) { p_->addRef(); }
  StreamRef(const StreamRef& other) : p_(other.p_) { p_->addRef(); }
  template <class U>
  requires std::is_convertible_v<U*, T*> StreamRef(const StreamRef<U>& other)
      : p_(other.get()) {  // NOLINT: implicit upcast
    p_->addRef();
  }
  // The new target is counted before the old one is released, so self-assignment and
  // assigning a stream that the old target holds are both safe.
  StreamRef& operator=(const StreamRef& other) {
    T* old = p_;
    other.p_->addRef();
    p_ = other.p_;
    old->release();
    return *this;
  }
  ~StreamRef() { p_->release(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  bool isNull() const { return p_->isNull(); }
  // Replaces the target with a new null stream of this kind.
  void resetNull() { *this = StreamRef(); }

  friend bool operator==(const StreamRef& a, const StreamRef& b) { return a.p_ == b.p_; }

 private:
  // Only the base kinds have a null stream; a reference to a derived kind needs an object.
  static T* nullFor() {
    if constexpr (std::is_same_v<decltype(T::newNull()), T*>) {
      return T::newNull();
    } else {
      std::abort();
    }
  }

  T* p_;
};

template <class T, class... Args>
StreamRef<T> makeStream(Args&&... args) {
  return StreamRef<T>(new T(std::forward<Args>(args)...));
}

// A stream that is written to. Filters process a block and write it to the next sink.
class AudioSink : public StreamObject {
 public:
  // channels 0 becomes 1 and marks the sink null (no valid format).
  AudioSink(uint32_t rate, uint32_t channels);

  // Takes `frames` interleaved frames.
  virtual void Write(const int32_t* samples, uint32_t frames) = 0;
  // Moves the position (frames); filters pass it on converted to the next sink's rate.
  virtual void Seek(uint32_t /*position*/) {}

  uint32_t position() const { return position_; }  // frames written so far
  uint32_t rate() const { return rate_; }
  uint32_t channels() const { return channels_; }
  uint8_t flags() const { return flags_; }
  bool isNull() const { return (flags_ & kStreamNull) != 0; }
  // position in ms: whole seconds × 1000 plus the remainder × 1000 / rate.
  uint32_t positionMs() const;

  static AudioSink* newNull();

 protected:
  uint32_t position_ = 0;
  uint32_t rate_;
  uint8_t channels_;
  uint8_t flags_ = 0;
};

// A stream that is read from. Read always delivers exactly the frames asked for.
class AudioSource : public StreamObject {
 public:
  // rate below 1 becomes 44100 and channels 0 becomes 1; either marks the source null.
  AudioSource(int32_t rate, uint32_t channels, int32_t peakRange);

  virtual void Read(int32_t* buffer, uint32_t frames) = 0;
  // Frames delivered so far (may wrap below 0 for sources with silence still to come).
  virtual uint32_t Position() { return 0; }
  // The position up to which data is available.
  virtual uint32_t Length() { return 0; }
  virtual void Seek(uint32_t /*frame*/) {}
  // True while more data may still arrive.
  virtual bool MoreComing() { return false; }
  // Waits up to ms for new data.
  virtual void Wait(uint32_t ms);

  // Length - Position as a signed count (positions are 32-bit and may wrap).
  int32_t available() { return static_cast<int32_t>(Length() - Position()); }

  uint32_t rate() const { return rate_; }
  uint32_t channels() const { return channels_; }
  int32_t peakRange() const { return peakRange_; }
  uint8_t flags() const { return flags_; }
  bool isNull() const { return (flags_ & kStreamNull) != 0; }
  StreamError error() const { return error_; }
  // ms of a frame count at this source's rate.
  uint32_t framesToMs(uint32_t frames) const;

  static AudioSource* newNull();

 protected:
  uint32_t rate_;
  int32_t peakRange_;
  uint8_t channels_;
  uint8_t flags_ = 0;
  StreamError error_ = StreamError::kNone;
};

using SinkRef = StreamRef<AudioSink>;
using SourceRef = StreamRef<AudioSource>;

// Base of the playback-side filters: holds the wrapped source and forwards every slot but
// Read to it.
class SourceFilter : public AudioSource {
 public:
  // Takes rate, channels and peak range from the wrapped source.
  explicit SourceFilter(SourceRef source);
  SourceFilter(SourceRef source, int32_t rate, uint32_t channels, int32_t peakRange);

  uint32_t Position() override { return source_->Position(); }
  uint32_t Length() override { return source_->Length(); }
  void Seek(uint32_t frame) override { source_->Seek(frame); }
  bool MoreComing() override { return source_->MoreComing(); }
  void Wait(uint32_t ms) override { source_->Wait(ms); }

  const SourceRef& wrapped() const { return source_; }

 protected:
  SourceRef source_;
};

// 44100 Hz, 1 channel, null flag; writes and seeks do nothing.
class NullSink : public AudioSink {
 public:
  NullSink();
  void Write(const int32_t* /*samples*/, uint32_t /*frames*/) override {}
};

// 11025 Hz, 1 channel, peak range 0x200000, null flag; reads zeros; position and length 0.
// A source that stands for an unusable file carries its error kind.
class NullSource : public AudioSource {
 public:
  explicit NullSource(StreamError error = StreamError::kNone);
  void Read(int32_t* buffer, uint32_t frames) override;
};

}  // namespace quillet::audio
