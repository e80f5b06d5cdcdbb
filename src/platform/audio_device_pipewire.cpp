// SPDX-License-Identifier: Apache-2.0
// PipeWire capture and playback streams and PipeWire's device list. Each device runs its own
// pw_thread_loop; the stream's process callback (on PipeWire's data thread) and the blocking
// calls meet in a frame ring under a mutex, and the callback wakes waiters through an eventfd.
#include <pipewire/pipewire.h>
#include <sched.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/audio_device_internal.h"
#include "platform/thread_priority.h"

namespace quillet::platform::detail {
namespace {

constexpr int kConnectWaitMs = 3000;                      // for a stream to be linked (or refused)
constexpr int kListWaitMs = 2000;                         // for the registry's round trip
constexpr int64_t kVolumeGuardNs = 3 * SPA_NSEC_PER_SEC;  // see onParamChanged

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// The scheduling a thread has, as a log text ("SCHED_FIFO 88", "nice 0").
std::string schedulingText(int policy, int priority, int nice) {
  if (policy == SCHED_FIFO || policy == SCHED_RR)
    return std::string(policy == SCHED_FIFO ? "SCHED_FIFO " : "SCHED_RR ") +
           std::to_string(priority);
  return "nice " + std::to_string(nice);
}

// One line, once per process, on what the data thread and the program's own audio thread got.
void noteScheduling(int dataPolicy, int dataPriority, int dataNice) {
  static std::atomic<bool> told{false};
  if (told.exchange(true)) return;
  sched_param own{};
  const int policy = sched_getscheduler(0);
  sched_getparam(0, &own);
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(currentThreadId()));
  audioNotice("Audio: PipeWire's data thread runs at " +
              schedulingText(dataPolicy, dataPriority, dataNice) +
              ", the program's device thread at " +
              schedulingText(policy, own.sched_priority, errno == 0 ? nice : 0));
}

// What the two device kinds share: the thread loop, the connection and the stream, its
// (re)connection, state, volume and the waits. Subclasses move the audio in onProcess().
class PipeWireStream {
 public:
  PipeWireStream(std::string node, bool capture) : node_(std::move(node)), capture_(capture) {}
  virtual ~PipeWireStream() { closeStream(); }

 protected:
  // Opens the stream on the node (or the default) in S16 at the rate and channels; the
  // stream is linked when this answers Ok.
  AudioOpen openStream(uint32_t rate, uint32_t channels, uint32_t frames, std::string& error) {
    closeStream();
    initPipeWire();
    streamRate_ = rate;
    streamChannels_ = channels;
    streamFrames_ = frames;
    failed_ = lost_ = false;
    loop_ = pw_thread_loop_new(capture_ ? "quillet-pw-in" : "quillet-pw-out", nullptr);
    if (loop_ == nullptr || pw_thread_loop_start(loop_) < 0) {
      error = "cannot start a PipeWire loop";
      closeStream();
      return AudioOpen::Failed;
    }
    pw_thread_loop_lock(loop_);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    core_ = context_ != nullptr ? pw_context_connect(context_, nullptr, 0) : nullptr;
    if (core_ == nullptr) {
      pw_thread_loop_unlock(loop_);
      error = "no PipeWire daemon answers";
      closeStream();
      return AudioOpen::Failed;
    }
    static const pw_core_events coreEvents = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.error = &PipeWireStream::onCoreError;
      return e;
    }();
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    watchDevices();
    const bool linked = connect(node_, error);
    pw_thread_loop_unlock(loop_);
    if (!linked) {
      closeStream();
      return AudioOpen::Failed;
    }
    return AudioOpen::Ok;
  }

  void closeStream() {
    if (loop_ == nullptr) return;
    pw_thread_loop_lock(loop_);
    destroyStream();
    if (registry_ != nullptr) {
      spa_hook_remove(&registryListener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
      registry_ = nullptr;
    }
    if (core_ != nullptr) {
      spa_hook_remove(&coreListener_);
      pw_core_disconnect(core_);
      core_ = nullptr;
    }
    if (context_ != nullptr) pw_context_destroy(context_);
    context_ = nullptr;
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
  }

  bool isOpen() const { return loop_ != nullptr; }

  // Called by the blocking calls before they look at the ring: false when the stream is
  // gone for good. A stream its node lost (and the session manager did not move) is made
  // again on the default device. Not with mutex_ held.
  bool keepStreaming(std::string& error) {
    if (loop_ == nullptr || failed_.load()) {
      if (error.empty()) error = "the PipeWire connection failed";
      return false;
    }
    if (!lost_.load()) {
      noteDataThread();
      return true;
    }
    pw_thread_loop_lock(loop_);
    bool linked = !failed_.load();
    if (lost_.load() && linked) {  // the other thread may have made it again already
      if (!goneTold_) {
        audioNotice("Audio device gone: " + (node_.empty() ? std::string(kPipeWireDevice) : node_) +
                    ", using the default");
      }
      goneTold_ = false;
      destroyStream();
      lost_ = false;
      node_.clear();
      linked = connect(node_, error);
      if (!linked) failed_ = true;
    }
    pw_thread_loop_unlock(loop_);
    return linked;
  }

  bool setVolume(float gain) {
    if (loop_ == nullptr) {
      gain_ = std::max(gain, 0.0f);  // for the next open
      return false;
    }
    pw_thread_loop_lock(loop_);
    gain_ = std::max(gain, 0.0f);
    applyVolume();
    pw_thread_loop_unlock(loop_);
    return true;
  }

  // What the graph holds of the stream, in frames at the stream's rate.
  uint64_t graphDelayFrames() {
    if (loop_ == nullptr) return 0;
    pw_time time{};
    pw_thread_loop_lock(loop_);
    const bool known = stream_ != nullptr && pw_stream_get_time_n(stream_, &time, sizeof time) >= 0;
    pw_thread_loop_unlock(loop_);
    if (!known || time.rate.denom == 0 || time.delay <= 0) return 0;
    return static_cast<uint64_t>(time.delay) * time.rate.num * streamRate_ / time.rate.denom;
  }

  // Runs on PipeWire's data thread with the stream's buffer.
  virtual void onProcess(int16_t* samples, uint32_t frames) = 0;

  // Wakes the blocking calls.
  void wake() { wake_.signal(); }

  std::mutex mutex_;  // the ring and the counters the subclasses share with onProcess
  WakeFd wake_;
  uint32_t streamRate_ = 0;
  uint32_t streamChannels_ = 1;
  uint32_t streamFrames_ = 0;

 private:
  // Makes and connects the stream and waits until it is linked or refused. Loop locked.
  bool connect(const std::string& node, std::string& error) {
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                          capture_ ? "Capture" : "Playback", PW_KEY_MEDIA_ROLE, "Communication",
                          PW_KEY_NODE_NAME, "Quillet", PW_KEY_APP_NAME, "Quillet", nullptr);
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", streamFrames_, streamRate_);
    // The call's volume is the program's: the session manager keeps none of its own for it.
    pw_properties_set(props, "state.restore-props", "false");
    if (!node.empty()) pw_properties_set(props, PW_KEY_TARGET_OBJECT, node.c_str());
    stream_ = pw_stream_new(core_, capture_ ? "Quillet capture" : "Quillet playback", props);
    if (stream_ == nullptr) {
      error = "cannot make a PipeWire stream";
      return false;
    }
    static const pw_stream_events streamEvents = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &PipeWireStream::onStateChanged;
      e.process = &PipeWireStream::onProcessEvent;
      e.param_changed = &PipeWireStream::onParamChanged;
      return e;
    }();
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

    uint8_t buffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16;
    info.rate = streamRate_;
    info.channels = streamChannels_;
    if (streamChannels_ == 1) {
      info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else if (streamChannels_ == 2) {
      info.position[0] = SPA_AUDIO_CHANNEL_FL;
      info.position[1] = SPA_AUDIO_CHANNEL_FR;
    } else {
      info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
    }
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    state_ = PW_STREAM_STATE_CONNECTING;
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(stream_, capture_ ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          flags, params, 1) < 0) {
      error = "cannot connect the PipeWire stream";
      destroyStream();
      return false;
    }
    timespec until{};
    pw_thread_loop_get_time(loop_, &until, int64_t{kConnectWaitMs} * SPA_NSEC_PER_MSEC);
    while (state_ != PW_STREAM_STATE_PAUSED && state_ != PW_STREAM_STATE_STREAMING &&
           state_ != PW_STREAM_STATE_ERROR && !failed_.load()) {
      if (pw_thread_loop_timed_wait_full(loop_, &until) != 0) break;
    }
    if (state_ == PW_STREAM_STATE_PAUSED || state_ == PW_STREAM_STATE_STREAMING) {
      linkedAtNs_ = monotonicNs();
      applyVolume();
      return true;
    }
    error = "the PipeWire stream " +
            (node.empty() ? std::string("on the default device") : "to " + node) +
            " was not linked" + (streamError_.empty() ? "" : ": " + streamError_);
    destroyStream();
    return false;
  }

  // Follows the devices and the links of the stream, so that the device it plays to (or
  // records from) going away is told once, whether the session manager moves the stream to
  // the default or the stream loses its link. Loop locked.
  void watchDevices() {
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_ == nullptr) return;
    static const pw_registry_events registryEvents = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = &PipeWireStream::onGlobal;
      e.global_remove = &PipeWireStream::onGlobalRemove;
      return e;
    }();
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
  }

  static void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                       const spa_dict* props) {
    auto* self = static_cast<PipeWireStream*>(data);
    if (props == nullptr) return;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
      const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
      if (name != nullptr && mediaClass != nullptr && std::strncmp(mediaClass, "Audio/", 6) == 0)
        self->devices_[id] = name;
      return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0 || self->stream_ == nullptr) return;
    const uint32_t own = pw_stream_get_node_id(self->stream_);
    const char* out = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
    const char* in = spa_dict_lookup(props, PW_KEY_LINK_INPUT_NODE);
    if (out == nullptr || in == nullptr || own == SPA_ID_INVALID) return;
    const auto outId = static_cast<uint32_t>(std::strtoul(out, nullptr, 10));
    const auto inId = static_cast<uint32_t>(std::strtoul(in, nullptr, 10));
    if (outId != own && inId != own) return;
    self->peer_ = outId == own ? inId : outId;
    self->goneTold_ = false;  // on a device again: its going is still to be told
  }

  static void onGlobalRemove(void* data, uint32_t id) {
    auto* self = static_cast<PipeWireStream*>(data);
    const auto device = self->devices_.find(id);
    if (device == self->devices_.end()) return;
    if (id == self->peer_) {
      audioNotice("Audio device gone: " + device->second + ", using the default");
      self->goneTold_ = true;
      self->peer_ = SPA_ID_INVALID;
    }
    self->devices_.erase(device);
  }

  void destroyStream() {
    if (stream_ == nullptr) return;
    spa_hook_remove(&streamListener_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
  }

  // Loop locked.
  void applyVolume() {
    if (stream_ == nullptr) return;
    float volumes[SPA_AUDIO_MAX_CHANNELS];
    std::fill_n(volumes, streamChannels_, gain_);
    pw_stream_set_control(stream_, SPA_PROP_channelVolumes, streamChannels_, volumes, 0);
  }

  // A session manager sets the volume it remembers for streams of the role as the stream
  // appears; the call's volume is the program's, so such a change in the stream's first
  // moments is undone. Later changes (the user's, in a mixer) stay.
  static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireStream*>(data);
    if (id != SPA_PARAM_Props || param == nullptr || !spa_pod_is_object(param) ||
        monotonicNs() - self->linkedAtNs_ > kVolumeGuardNs)
      return;
    const auto* object = reinterpret_cast<const spa_pod_object*>(param);
    const spa_pod_prop* prop = nullptr;
    SPA_POD_OBJECT_FOREACH(object, prop) {
      if (prop->key != SPA_PROP_channelVolumes) continue;
      float volumes[SPA_AUDIO_MAX_CHANNELS];
      const uint32_t n =
          spa_pod_copy_array(&prop->value, SPA_TYPE_Float, volumes, SPA_AUDIO_MAX_CHANNELS);
      for (uint32_t c = 0; c < n; ++c) {
        if (std::abs(volumes[c] - self->gain_) > 0.001f) {
          self->applyVolume();
          return;
        }
      }
    }
  }

  void noteDataThread() {
    const int policy = dataPolicy_.load();
    if (policy >= 0) noteScheduling(policy, dataPriority_.load(), dataNice_.load());
  }

  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* error) {
    auto* self = static_cast<PipeWireStream*>(data);
    self->state_ = state;
    if (state == PW_STREAM_STATE_ERROR && error != nullptr) self->streamError_ = error;
    // The stream's converter is set up anew with the format, its volume with it.
    if (state == PW_STREAM_STATE_STREAMING) self->applyVolume();
    // A linked stream that falls back to unconnected or error has lost its node.
    const bool wasLinked = old == PW_STREAM_STATE_PAUSED || old == PW_STREAM_STATE_STREAMING;
    if (wasLinked && (state == PW_STREAM_STATE_UNCONNECTED || state == PW_STREAM_STATE_ERROR)) {
      self->lost_ = true;
      self->wake();
    }
    pw_thread_loop_signal(self->loop_, false);
  }

  static void onCoreError(void* data, uint32_t id, int, int res, const char*) {
    auto* self = static_cast<PipeWireStream*>(data);
    // The connection itself broke (the daemon went away): nothing to come back to.
    if (id == PW_ID_CORE && res == -EPIPE) {
      self->failed_ = true;
      self->wake();
      pw_thread_loop_signal(self->loop_, false);
    }
  }

  static void onProcessEvent(void* data) {
    auto* self = static_cast<PipeWireStream*>(data);
    if (self->dataPolicy_.load() < 0) {
      sched_param param{};
      sched_getparam(0, &param);
      errno = 0;
      const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(currentThreadId()));
      self->dataPriority_ = param.sched_priority;
      self->dataNice_ = errno == 0 ? nice : 0;
      self->dataPolicy_ = sched_getscheduler(0);
    }
    pw_buffer* b = pw_stream_dequeue_buffer(self->stream_);
    if (b == nullptr) return;
    spa_data& d = b->buffer->datas[0];
    if (d.data != nullptr) {
      const uint32_t stride = self->streamChannels_ * sizeof(int16_t);
      uint32_t frames = 0;
      if (self->capture_) {
        const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        frames = std::min(d.chunk->size, d.maxsize - offset) / stride;
        self->onProcess(reinterpret_cast<int16_t*>(static_cast<uint8_t*>(d.data) + offset), frames);
      } else {
        frames = d.maxsize / stride;
        if (b->requested != 0) frames = std::min<uint32_t>(frames, b->requested);
        self->onProcess(static_cast<int16_t*>(d.data), frames);
        d.chunk->offset = 0;
        d.chunk->stride = static_cast<int32_t>(stride);
        d.chunk->size = frames * stride;
      }
    }
    pw_stream_queue_buffer(self->stream_, b);
  }

  std::string node_;  // "" = the default
  const bool capture_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  pw_registry* registry_ = nullptr;
  spa_hook registryListener_{};
  std::map<uint32_t, std::string> devices_;  // audio nodes by id: their names
  uint32_t peer_ = SPA_ID_INVALID;           // the device node the stream is linked to
  bool goneTold_ = false;                    // the going of the device last linked to was told
  spa_hook coreListener_{};
  spa_hook streamListener_{};
  pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
  std::string streamError_;
  float gain_ = 1;          // the stream volume asked for
  int64_t linkedAtNs_ = 0;  // when the stream was last linked
  std::atomic<bool> failed_{false};
  std::atomic<bool> lost_{false};
  std::atomic<int> dataPolicy_{-1};
  std::atomic<int> dataPriority_{0};
  std::atomic<int> dataNice_{0};
};

class PipeWireCapture : public CaptureDevice, private PipeWireStream {
 public:
  explicit PipeWireCapture(std::string node) : PipeWireStream(std::move(node), true) {}
  ~PipeWireCapture() override { close(); }

  AudioOpen open(uint32_t rate, uint32_t channels, uint32_t framesPerBlock,
                 uint32_t blockCount) override {
    close();
    if (framesPerBlock == 0 || channels == 0 || channels > SPA_AUDIO_MAX_CHANNELS)
      return AudioOpen::Failed;
    {
      std::lock_guard lock(mutex_);
      ring_.reset(channels, framesPerBlock * std::max<uint32_t>(blockCount, 2));
      started_ = false;
    }
    const AudioOpen r = openStream(rate, channels, framesPerBlock, error_);
    if (r != AudioOpen::Ok) return r;
    CaptureDevice::rate_ = rate;
    CaptureDevice::channels_ = channels;
    framesPerBlock_ = framesPerBlock;
    return AudioOpen::Ok;
  }

  bool start() override {
    if (!isOpen()) return false;
    std::lock_guard lock(mutex_);
    ring_.clear();
    started_ = true;
    return true;
  }

  AudioWait readBlock(int16_t* out, int stopFd, int timeoutMs) override {
    const WaitDeadline deadline(timeoutMs);
    for (;;) {
      if (readableNow(stopFd)) return AudioWait::Stopped;
      if (!keepStreaming(error_)) return AudioWait::Failed;
      {
        std::lock_guard lock(mutex_);
        if (ring_.size() >= framesPerBlock_) {
          ring_.read(out, framesPerBlock_);
          return AudioWait::Ready;
        }
        wake_.clear();
      }
      int wait = -1;
      if (!deadline.limit(wait)) return AudioWait::TimedOut;
      const AudioWait w = waitFds(stopFd, wake_.fd(), wait);
      if (w != AudioWait::Ready) return w;
    }
  }

  uint32_t stopAndDrain(int16_t* out) override {
    std::lock_guard lock(mutex_);
    started_ = false;
    const uint32_t frames = ring_.read(out, framesPerBlock_ > 0 ? framesPerBlock_ - 1 : 0);
    ring_.clear();
    return frames;
  }

  void close() override {
    closeStream();
    std::lock_guard lock(mutex_);
    started_ = false;
  }

  bool setStreamVolume(float gain) override { return setVolume(gain); }

 private:
  void onProcess(int16_t* samples, uint32_t frames) override {
    {
      std::lock_guard lock(mutex_);
      // Frames that find no room are lost (an overrun), as on a sound card.
      if (started_) ring_.write(samples, frames);
    }
    wake();
  }

  FrameRing ring_;
  bool started_ = false;
};

class PipeWirePlayback : public PlaybackDevice, private PipeWireStream {
 public:
  explicit PipeWirePlayback(std::string node) : PipeWireStream(std::move(node), false) {}
  ~PipeWirePlayback() override { close(); }

  AudioOpen open(uint32_t rate, uint32_t channels, uint32_t framesPerBlock,
                 uint32_t maxBlocks) override {
    close();
    if (framesPerBlock == 0 || maxBlocks == 0 || channels == 0 || channels > SPA_AUDIO_MAX_CHANNELS)
      return AudioOpen::Failed;
    {
      std::lock_guard lock(mutex_);
      ring_.reset(channels, framesPerBlock * maxBlocks);
      ledger_.reset(maxBlocks);
      queued_ = played_ = 0;
      framesPerBlock_ = framesPerBlock;
    }
    const AudioOpen r = openStream(rate, channels, framesPerBlock, error_);
    if (r != AudioOpen::Ok) return r;
    PlaybackDevice::rate_ = rate;
    PlaybackDevice::channels_ = channels;
    return AudioOpen::Ok;
  }

  bool write(const int16_t* samples, uint32_t frames) override {
    if (!keepStreaming(error_)) return false;
    std::lock_guard lock(mutex_);
    if (frames > framesPerBlock_ || ledger_.full() || ring_.space() < frames) return false;
    ring_.write(samples, frames);
    queued_ += frames;
    ledger_.add(queued_);
    return true;
  }

  uint64_t completedBlocks() override {
    std::lock_guard lock(mutex_);
    ledger_.retire(played_);
    return ledger_.completed();
  }

  AudioWait waitCompletion(uint64_t seen, int stopFd, int timeoutMs) override {
    const WaitDeadline deadline(timeoutMs);
    for (;;) {
      if (!keepStreaming(error_)) {
        std::lock_guard lock(mutex_);
        ledger_.dropAll();  // given up: everything queued counts as retired
        return AudioWait::Failed;
      }
      {
        std::lock_guard lock(mutex_);
        ledger_.retire(played_);
        if (ledger_.completed() > seen) return AudioWait::Ready;
        wake_.clear();
      }
      int wait = -1;
      if (!deadline.limit(wait)) return AudioWait::TimedOut;
      const AudioWait w = waitFds(stopFd, wake_.fd(), wait);
      if (w == AudioWait::Stopped || w == AudioWait::Failed) return w;
    }
  }

  uint64_t queuedFrames() override {
    const uint64_t graph = graphDelayFrames();
    std::lock_guard lock(mutex_);
    return queued_ - played_ + graph;
  }

  void reset() override {
    {
      std::lock_guard lock(mutex_);
      ring_.clear();
      ledger_.dropAll();
      played_ = queued_;
    }
    wake();
  }

  void close() override { closeStream(); }

  bool setStreamVolume(float gain) override { return setVolume(gain); }

 private:
  void onProcess(int16_t* samples, uint32_t frames) override {
    uint32_t taken = 0;
    {
      std::lock_guard lock(mutex_);
      taken = ring_.read(samples, frames);
      played_ += taken;
    }
    // Short of data: the rest of the cycle is silence (an underrun).
    std::memset(samples + static_cast<size_t>(taken) * streamChannels_, 0,
                static_cast<size_t>(frames - taken) * streamChannels_ * sizeof(int16_t));
    if (taken > 0) wake();
  }

  FrameRing ring_;
  BlockLedger ledger_;
  uint32_t framesPerBlock_ = 0;
  uint64_t queued_ = 0;  // frames queued by the caller
  uint64_t played_ = 0;  // frames handed to the graph
};

// A short-lived connection for a question to the daemon; `core` is null when none answers.
struct Probe {
  Probe() {
    initPipeWire();
    loop = pw_loop_new(nullptr);
    context = loop != nullptr ? pw_context_new(loop, nullptr, 0) : nullptr;
    core = context != nullptr ? pw_context_connect(context, nullptr, 0) : nullptr;
  }
  ~Probe() {
    if (core != nullptr) pw_core_disconnect(core);
    if (context != nullptr) pw_context_destroy(context);
    if (loop != nullptr) pw_loop_destroy(loop);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  pw_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
};

struct NodeList {
  bool capture = false;
  int seq = 0;
  bool done = false;
  std::vector<AudioDeviceEntry> nodes;
};

void onGlobal(void* data, uint32_t, uint32_t, const char* type, uint32_t, const spa_dict* props) {
  auto* list = static_cast<NodeList*>(data);
  if (props == nullptr || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
  const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
  const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
  const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
  if (mediaClass == nullptr || name == nullptr) return;
  if (std::strcmp(mediaClass, list->capture ? "Audio/Source" : "Audio/Sink") != 0) return;
  std::string shown = description != nullptr && *description != '\0' ? description : name;
  list->nodes.push_back({shown, std::string(kPipeWireDevice) + ":" + name});
}

void onDone(void* data, uint32_t id, int seq) {
  auto* list = static_cast<NodeList*>(data);
  if (id == PW_ID_CORE && seq == list->seq) list->done = true;
}

}  // namespace

bool pipeWireAnswers() {
  return Probe().core != nullptr;
}

std::unique_ptr<CaptureDevice> makePipeWireCapture(const std::string& node) {
  return std::make_unique<PipeWireCapture>(node);
}

std::unique_ptr<PlaybackDevice> makePipeWirePlayback(const std::string& node) {
  return std::make_unique<PipeWirePlayback>(node);
}

std::vector<AudioDeviceEntry> listPipeWireDevices(bool capture) {
  Probe probe;
  NodeList list;
  list.capture = capture;
  if (probe.core == nullptr) return {};
  pw_registry* registry = pw_core_get_registry(probe.core, PW_VERSION_REGISTRY, 0);
  if (registry == nullptr) return {};
  static const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = &onGlobal;
    return e;
  }();
  static const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = &onDone;
    return e;
  }();
  spa_hook registryListener{};
  spa_hook coreListener{};
  pw_registry_add_listener(registry, &registryListener, &registryEvents, &list);
  pw_core_add_listener(probe.core, &coreListener, &coreEvents, &list);
  list.seq = pw_core_sync(probe.core, PW_ID_CORE, 0);
  const WaitDeadline deadline(kListWaitMs);
  pw_loop_enter(probe.loop);
  int wait = -1;
  while (!list.done && deadline.limit(wait)) {
    if (pw_loop_iterate(probe.loop, wait) < 0) break;
    wait = -1;
  }
  pw_loop_leave(probe.loop);
  spa_hook_remove(&coreListener);
  spa_hook_remove(&registryListener);
  pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
  std::sort(list.nodes.begin(), list.nodes.end(),
            [](const AudioDeviceEntry& a, const AudioDeviceEntry& b) { return a.name < b.name; });
  return list.nodes;
}

}  // namespace quillet::platform::detail
