// quillet-tool audio devices|play|record: not built yet.
#include "tool.h"

namespace quillet::tool {

int runAudioDevice(const Args& /*args*/) { return usageError("audio devices/play/record are not built yet"); }

}  // namespace quillet::tool
