// quillet-tool contacts: not built yet.
#include "tool.h"

namespace quillet::tool {

int runContacts(const Args& /*args*/) { return usageError("'contacts' is not built yet"); }

}  // namespace quillet::tool
