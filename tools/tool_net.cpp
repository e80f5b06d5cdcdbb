// quillet-tool net: not built yet.
#include "tool.h"

namespace quillet::tool {

int runNet(const Args& /*args*/) { return usageError("'net' is not built yet"); }

}  // namespace quillet::tool
