// SPDX-License-Identifier: Apache-2.0
// quillet-tool page: sends a WAV file as a multicast page, plain RTP or group paging, paced in
// real time, and prints what it sent as JSON.
#include <chrono>
#include <cstdio>
#include <thread>

#include "codecs/audio_codec.h"
#include "media/paging_sender.h"
#include "platform/socket.h"
#include "tool.h"
#include "wav_io.h"

namespace quillet::tool {

namespace {

const char kUsage[] =
    "usage: quillet-tool page GROUP FILE.wav [--codec pcmu|pcma|g722|opus] [--payload-type N]\n"
    "       [--caller TEXT] [--serial HEX] [--interface A.B.C.D] [--ttl N]\n"
    "  GROUP  A.B.C.D:PORT (plain RTP, 20 ms packets) or channel:N[@A.B.C.D:PORT] (group\n"
    "         paging, channel 1..25, default group 224.0.1.116:5001; 24 priority, 25 emergency)\n"
    "  FILE   16-bit PCM WAV at the page's rate (8000 Hz, 16000 Hz for g722 and opus);\n"
    "         channels are mixed down\n"
    "  --payload-type  the dynamic RTP payload type of an opus page, 96..127 (default 111);\n"
    "         opus pages are plain RTP only\n"
    "Prints {\"group\":...,\"format\":\"rtp\"|\"group\",\"packets\":N}.\n";

struct PageArgs {
  media::PageSendOptions options;
  std::string file;
};

bool parseArgs(const Args& args, PageArgs& out, std::string& error) {
  if (args.size() < 2) {
    error = "page needs GROUP and FILE";
    return false;
  }
  const std::optional<media::PageTarget> target = media::parsePageTarget(args[0]);
  if (!target) {
    error = "'" + args[0] + "' is neither A.B.C.D:PORT (multicast) nor channel:N[@A.B.C.D:PORT]";
    return false;
  }
  out.options.target = *target;
  out.options.callerId = "quillet-tool";
  out.file = args[1];
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (i + 1 >= args.size()) {
      error = option + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (option == "--codec") {
      const std::optional<codecs::CodecId> codec = codecs::codecByName(value);
      if (!codec || (*codec != codecs::CodecId::kPcmu && *codec != codecs::CodecId::kPcma &&
                     *codec != codecs::CodecId::kG722 && *codec != codecs::CodecId::kOpus)) {
        error = "--codec takes pcmu, pcma, g722 or opus";
        return false;
      }
      out.options.codec = *codec;
    } else if (option == "--payload-type") {
      if (!parseNumber(value, 96, 127, out.options.opusPayloadType)) {
        error = "--payload-type takes 96 to 127";
        return false;
      }
    } else if (option == "--caller") {
      out.options.callerId = value;
    } else if (option == "--serial") {
      char* end = nullptr;
      const unsigned long serial = std::strtoul(value.c_str(), &end, 16);
      if (value.empty() || value.size() > 8 || *end != 0) {
        error = "--serial takes up to 8 hexadecimal digits";
        return false;
      }
      out.options.serial = static_cast<uint32_t>(serial);
    } else if (option == "--interface") {
      if (!platform::parseDottedQuad(value, out.options.interfaceAddress)) {
        error = "--interface takes an IPv4 address";
        return false;
      }
    } else if (option == "--ttl") {
      if (!parseNumber(value, 0, 255, out.options.ttl)) {
        error = "--ttl takes 0 to 255";
        return false;
      }
    } else {
      error = "unknown option " + option;
      return false;
    }
  }
  if (out.options.target.grouped && out.options.codec == codecs::CodecId::kOpus) {
    error = "group paging carries pcmu, pcma or g722, not opus";
    return false;
  }
  return true;
}

}  // namespace

int runPage(const Args& args) {
  PageArgs page;
  std::string error;
  if (!parseArgs(args, page, error)) {
    std::fprintf(stderr, "%s", kUsage);
    return usageError(error);
  }
  WavFile wav;
  if (readWav(page.file, wav, error) != WavStatus::kOk) {
    return rejected(error);
  }
  const int rate = static_cast<int>(media::pageAudioRate(page.options.codec));
  if (wav.sampleRate != static_cast<uint32_t>(rate) || wav.channels == 0) {
    return rejected(page.file + " is " + describeWavFormat(wav) + "; this codec needs " +
                    std::to_string(rate) + " Hz");
  }
  std::vector<int32_t> samples;
  for (size_t i = 0; i + wav.channels <= wav.samples.size(); i += wav.channels) {
    int32_t sum = 0;
    for (size_t c = 0; c < wav.channels; ++c) sum += wav.samples[i + c];
    samples.push_back(sum / wav.channels * 16);  // the program's sample scale
  }
  media::PageSender sender(page.options);
  if (!sender.ready()) return rejected("no socket to send with");
  // One frame at a time, on the frame's own time: receivers play as it comes.
  const uint32_t frame = sender.frameSamples();
  const auto frameTime = std::chrono::microseconds(1000000LL * frame / static_cast<uint32_t>(rate));
  sender.Write(samples.data(), 0);  // group paging: the Alert packets go first
  auto next = std::chrono::steady_clock::now();
  for (size_t at = 0; at < samples.size(); at += frame) {
    const size_t count = std::min<size_t>(frame, samples.size() - at);
    sender.Write(samples.data() + at, static_cast<uint32_t>(count));
    next += frameTime;
    std::this_thread::sleep_until(next);
  }
  sender.finish();
  std::printf("{\"group\":\"%s\",\"format\":\"%s\",\"packets\":%u}\n", args[0].c_str(),
              page.options.target.grouped ? "group" : "rtp", sender.packetsSent());
  return kExitOk;
}

}  // namespace quillet::tool
