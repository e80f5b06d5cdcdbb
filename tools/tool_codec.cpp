// quillet-tool codec: not built yet.
#include "tool.h"

namespace quillet::tool {

int runCodec(const Args& /*args*/) { return usageError("'codec' is not built yet"); }

}  // namespace quillet::tool
