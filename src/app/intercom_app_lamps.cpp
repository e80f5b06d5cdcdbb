// SPDX-License-Identifier: Apache-2.0
// IntercomApp: the lamps. Watchers on the intercom allow list may subscribe to this line's
// dialog state (whatever Intercom/AllowAll says: the list names who may see it).
#include <memory>
#include <string>
#include <vector>

#include "app/allow_list.h"
#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"

namespace quillet::app {

void IntercomApp::refreshLamps() {
  if (transport_ == nullptr) return;
  // The transport thread asks; it gets a copy of the list as it is now.
  auto items = std::make_shared<const std::vector<std::string>>(readAllowList(settings()));
  transport_->notifier().setAllowCheck(
      [items](std::string_view from) { return allowListHolds(*items, from); });
}

}  // namespace quillet::app
