// quillet-tool settings: not built yet.
#include "tool.h"

namespace quillet::tool {

int runSettings(const Args& /*args*/) { return usageError("'settings' is not built yet"); }

}  // namespace quillet::tool
