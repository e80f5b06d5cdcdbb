// The intercom allow-list check.
#include "app/allow_list.h"

#include <string>

#include "contacts/item_splitter.h"

namespace quillet::app {

bool isCallerAllowed(base::SettingsStore& store, std::string_view address) {
  if (store.readBool("Intercom", "AllowAll", true)) {
    return true;
  }
  const std::string allow = store.readText("Intercom", "Allow");
  for (const std::string& item : contacts::splitItems(allow)) {
    if (address.find(item) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace quillet::app
