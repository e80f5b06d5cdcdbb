// quillet-tool sip: not built yet.
#include "tool.h"

namespace quillet::tool {

int runSip(const Args& /*args*/) { return usageError("'sip' is not built yet"); }

}  // namespace quillet::tool
