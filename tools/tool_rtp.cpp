// quillet-tool rtp: not built yet.
#include "tool.h"

namespace quillet::tool {

int runRtp(const Args& /*args*/) { return usageError("'rtp' is not built yet"); }

}  // namespace quillet::tool
