// SPDX-License-Identifier: Apache-2.0
// quillet-tool rtp: sends a WAV file as a paced RTP stream and receives an RTP stream into a
// WAV file, both through RtpSession, so the media path can be tested against other RTP stacks.
//   rtp send --codec NAME --to IP:PORT [--pt N] [--dtmf DIGITS] [--event-pt N] [--inband]
//            [--port P] [--trace] IN.wav   (--inband: no telephone events, digits as tones)
//   rtp receive --port P --codec NAME [--pt N] --seconds S [--trace] OUT.wav
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "audio/converters.h"
#include "base/net_facts.h"
#include "codecs/audio_codec.h"
#include "media/codec_choice.h"
#include "media/rtp_session.h"
#include "platform/socket.h"
#include "tool.h"
#include "wav_io.h"

namespace quillet::tool {

namespace {

constexpr const char* kUsage =
    "usage: quillet-tool rtp send --codec NAME --to IP:PORT [--pt N] [--dtmf DIGITS] "
    "[--event-pt N] [--inband] [--port P] [--trace] IN.wav\n"
    "       quillet-tool rtp receive --port P --codec NAME [--pt N] --seconds S [--trace] OUT.wav\n"
    "codecs: pcmu, pcma, gsm, g726-32, aal2-g726-32, g722, opus; input WAV: 16-bit PCM at any "
    "rate (channels are mixed); received audio is written at the codec's call rate (8000 Hz, or "
    "16000 Hz for g722 and opus)";

constexpr const char* kUnknownCodec =
    "unknown codec or payload type (pcmu, pcma, gsm, g726-32, aal2-g726-32, g722, opus)";

struct RtpOptions {
  std::string codec;
  std::string to;
  int payloadType = -1;
  std::string dtmf;
  int eventType = 101;
  int port = -1;
  int seconds = -1;
  bool trace = false;
  bool inBand = false;
  std::string file;
};

int parseOptions(const Args& args, RtpOptions& options) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool hasValue = i + 1 < args.size();
    if (arg == "--codec" && hasValue) {
      options.codec = args[++i];
    } else if (arg == "--to" && hasValue) {
      options.to = args[++i];
    } else if (arg == "--pt" && hasValue) {
      if (!parseNumber(args[++i], 0, 127, options.payloadType))
        return usageError("--pt takes 0..127");
    } else if (arg == "--dtmf" && hasValue) {
      options.dtmf = args[++i];
    } else if (arg == "--event-pt" && hasValue) {
      if (!parseNumber(args[++i], 96, 127, options.eventType)) {
        return usageError("--event-pt takes 96..127");
      }
    } else if (arg == "--port" && hasValue) {
      if (!parseNumber(args[++i], 0, 65535, options.port))
        return usageError("--port takes 0..65535");
    } else if (arg == "--seconds" && hasValue) {
      if (!parseNumber(args[++i], 1, 3600, options.seconds)) {
        return usageError("--seconds takes 1..3600");
      }
    } else if (arg == "--inband") {
      options.inBand = true;
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return usageError("unknown or incomplete option '" + arg + "'\n" + kUsage);
    } else if (options.file.empty()) {
      options.file = arg;
    } else {
      return usageError(kUsage);
    }
  }
  return kExitOk;
}

// The payload type and rtpmap line of the codec the stream uses.
bool codecPayload(const RtpOptions& options, int& type, std::string& rtpmap,
                  codecs::CodecId& codec) {
  auto id = codecs::codecByName(options.codec);
  if (!id) return false;
  codec = *id;
  const codecs::CodecInfo& info = codecs::codecInfo(*id);
  if (*id == codecs::CodecId::kG726_32 || *id == codecs::CodecId::kG726_32Aal2 ||
      *id == codecs::CodecId::kOpus) {
    // Negotiated types: not one of the static types in use; Opus a dynamic one.
    type = options.payloadType >= 0 ? options.payloadType : info.payloadType;
    if (type == 0 || type == 3 || type == 8 || type == 9 || type == 13) return false;
    if (*id == codecs::CodecId::kOpus && type < 96) return false;
  } else {
    // Static payload types only: another number would not be this codec.
    if (options.payloadType >= 0 && options.payloadType != info.payloadType) return false;
    type = info.payloadType;
  }
  rtpmap = "a=rtpmap:" + std::to_string(type) + " " + info.rtpmap + "\r\n";
  return true;
}

// Counts the datagrams the session sends and receives, and prints them with --trace.
class CountingTrace : public media::RtpTrace {
 public:
  explicit CountingTrace(bool print) : print_(print) {}
  bool rtpTraceOn() const override { return true; }
  void traceRtpLine(const std::string& line) override {
    if (line.find(">>>") != std::string::npos) {
      ++sent;
    } else {
      ++received;
    }
    if (print_) std::fprintf(stderr, "%s", line.c_str());
  }
  std::atomic<int> sent{0};
  std::atomic<int> received{0};

 private:
  bool print_;
};

int runSend(const RtpOptions& options) {
  int type = 0;
  std::string rtpmap;
  codecs::CodecId codec{};
  if (options.codec.empty() || options.to.empty() || options.file.empty()) {
    return usageError(kUsage);
  }
  if (!codecPayload(options, type, rtpmap, codec)) {
    return usageError(kUnknownCodec);
  }
  if (type == options.eventType) return usageError("--event-pt equals the voice payload type");
  platform::Endpoint to = base::resolveHostPort(options.to, 0);
  if (to.address == 0 || to.port == 0) {
    std::fprintf(stderr, "quillet-tool: cannot resolve destination '%s'\n", options.to.c_str());
    return kExitRejected;
  }
  WavFile wav;
  std::string error;
  if (readWav(options.file, wav, error) != WavStatus::kOk) {
    std::fprintf(stderr, "quillet-tool: %s: %s\n", options.file.c_str(), error.c_str());
    return kExitRejected;
  }
  if (wav.sampleRate < 8000 || wav.sampleRate > 48000 || wav.channels == 0) {
    std::fprintf(stderr, "quillet-tool: %s: need 8000 to 48000 Hz, got %s\n", options.file.c_str(),
                 describeWavFormat(wav).c_str());
    return kExitRejected;
  }
  std::vector<int32_t> samples(wav.samples.size() / wav.channels);
  for (size_t i = 0; i < samples.size(); ++i) {
    int32_t sum = 0;
    for (size_t c = 0; c < wav.channels; ++c) sum += wav.samples[i * wav.channels + c];
    samples[i] = sum / wav.channels * 16;
  }

  CountingTrace trace(options.trace);
  media::RtpSettings settings;
  settings.portBase = options.port >= 0 ? options.port : 0;
  settings.nat.stun = false;
  // The file's codec only: the session then takes and gives audio at its call rate.
  settings.sdp.codecs = {codec};
  media::RtpSession session(settings, trace);
  session.openPort();
  if (!session.socketOpen()) {
    std::fprintf(stderr, "quillet-tool: cannot open an RTP socket\n");
    return kExitRejected;
  }
  session.makeOffer(media::MediaDirection::SendRecv);
  // The answer a peer would give: our codec, and telephone events unless --inband.
  std::string events = options.inBand ? "" : " " + std::to_string(options.eventType);
  std::string answer = "v=0\r\nc=IN IP4 " + platform::ipv4ToString(to.address) + "\r\nm=audio " +
                       std::to_string(to.port) + " RTP/AVP " + std::to_string(type) + events +
                       "\r\n" + rtpmap;
  // As most Opus peers answer: they take in-band redundancy, which the encoder then adds.
  if (codec == codecs::CodecId::kOpus) {
    answer += "a=fmtp:" + std::to_string(type) + " useinbandfec=1\r\n";
  }
  if (!options.inBand) {
    answer += "a=rtpmap:" + std::to_string(options.eventType) + " telephone-event/" +
              std::to_string(codecs::codecInfo(codec).rtpClockRate) + "\r\n";
  }
  if (!session.takeAnswer(answer)) {
    std::fprintf(stderr, "quillet-tool: negotiation failed\n");
    return kExitRejected;
  }
  session.start();
  auto started = std::chrono::steady_clock::now();
  {
    // The file at its own rate, brought to the session's.
    audio::SinkRef sink =
        audio::MakeResamplingSink(wav.sampleRate, session.createCaptureSink(true));
    bool digitsQueued = options.dtmf.empty();
    const size_t frame = wav.sampleRate / 50;
    for (size_t at = 0; at < samples.size(); at += frame) {
      // Frames come as from a microphone, one each 20 ms: a file written at once would
      // leave in a burst ahead of the clock, which the receiver's playout then has to undo.
      std::this_thread::sleep_until(started +
                                    std::chrono::microseconds(at * 1000000 / wav.sampleRate));
      size_t count = std::min(frame, samples.size() - at);
      sink->Write(samples.data() + at, static_cast<uint32_t>(count));
      if (!digitsQueued && at > 0) {
        session.sendDigits(options.dtmf);  // once the stream has started
        digitsQueued = true;
      }
    }
    if (!digitsQueued) session.sendDigits(options.dtmf);
    // Until the digits have gone out (each takes 200 ms).
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(1000 + 250 * options.dtmf.size());
    while (session.digitsPending() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // Let the last packets leave on time before the socket closes.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  session.stop();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  nlohmann::json out;
  out["codec"] = options.codec;
  out["payloadType"] = type;
  out["to"] = to.toString();
  out["localPort"] = session.privatePort();
  out["samples"] = samples.size();
  out["packets"] = trace.sent.load();
  out["digits"] = options.dtmf;
  out["seconds"] = std::round(seconds * 1000) / 1000;
  std::printf("%s\n", out.dump(2).c_str());
  return kExitOk;
}

int runReceive(const RtpOptions& options) {
  int type = 0;
  std::string rtpmap;
  codecs::CodecId codec{};
  if (options.codec.empty() || options.port < 0 || options.seconds < 0 || options.file.empty()) {
    return usageError(kUsage);
  }
  if (!codecPayload(options, type, rtpmap, codec)) {
    return usageError(kUnknownCodec);
  }
  if (options.port % 2 != 0) return usageError("--port must be even (RTP ports are even)");
  CountingTrace trace(options.trace);
  media::RtpSettings settings;
  settings.portBase = options.port;
  settings.nat.stun = false;
  settings.sdp.codecs = {codec};
  // No far end is known: the first sender is taken, however long it takes to start.
  settings.latchWindowMs = UINT32_MAX;
  media::RtpSession session(settings, trace);
  session.openPort();
  if (!session.socketOpen() || session.privatePort() != options.port) {
    std::fprintf(stderr, "quillet-tool: port %d is not free\n", options.port);
    return kExitRejected;
  }
  session.makeOffer(media::MediaDirection::SendRecv);
  // Nobody to send to: the receive side only (comfort noise on 13 is understood).
  std::string answer =
      "v=0\r\nc=IN IP4 0.0.0.0\r\nm=audio 9 RTP/AVP " + std::to_string(type) + " 13\r\n" + rtpmap;
  if (!session.takeAnswer(answer)) {
    std::fprintf(stderr, "quillet-tool: negotiation failed\n");
    return kExitRejected;
  }
  audio::SourceRef reader = session.attachPlayback();
  session.start();
  const auto rate = static_cast<uint32_t>(media::callRate(codec));
  auto total = static_cast<size_t>(options.seconds) * rate;
  std::vector<int16_t> pcm;
  pcm.reserve(total);
  std::vector<int32_t> block(rate / 50);
  while (pcm.size() < total) {
    reader->Read(block.data(), static_cast<uint32_t>(block.size()));
    for (int32_t sample : block) {
      int32_t value = sample / 16;
      pcm.push_back(static_cast<int16_t>(std::clamp(value, -32768, 32767)));
    }
  }
  pcm.resize(total);
  session.stop();
  std::string error;
  if (!writeWav(options.file, rate, 1, pcm, error)) {
    std::fprintf(stderr, "quillet-tool: %s\n", error.c_str());
    return kExitRejected;
  }
  nlohmann::json out;
  out["codec"] = options.codec;
  out["payloadType"] = type;
  out["port"] = options.port;
  out["samples"] = pcm.size();
  out["packets"] = trace.received.load();
  std::printf("%s\n", out.dump(2).c_str());
  return kExitOk;
}

}  // namespace

int runRtp(const Args& args) {
  if (args.empty()) return usageError(kUsage);
  RtpOptions options;
  int status = parseOptions(args, options);
  if (status != kExitOk) return status;
  if (args[0] == "send") return runSend(options);
  if (args[0] == "receive") return runReceive(options);
  return usageError(kUsage);
}

}  // namespace quillet::tool
