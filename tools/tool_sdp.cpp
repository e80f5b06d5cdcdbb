// quillet-tool sdp: not built yet.
#include "tool.h"

namespace quillet::tool {

int runSdp(const Args& /*args*/) { return usageError("'sdp' is not built yet"); }

}  // namespace quillet::tool
