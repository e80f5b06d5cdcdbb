// quillet-tool audio: the filters (resample, agc, echo) here; devices, play and record
// are handed to tool_audio_device.cpp.
#include "tool.h"

namespace quillet::tool {

int runAudio(const Args& args) {
  if (!args.empty() && (args[0] == "devices" || args[0] == "play" || args[0] == "record")) {
    return runAudioDevice(args);
  }
  return usageError("audio resample/agc/echo are not built yet");
}

}  // namespace quillet::tool
