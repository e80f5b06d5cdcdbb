// SPDX-License-Identifier: Apache-2.0
// Fuzz target: reading a contact's dialog-info NOTIFY body; what reads must write back and
// read again to the same document.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sip/dialog_info.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const std::optional<DialogInfo> info = parseDialogInfo(body);
  if (!info) return 0;
  if (info->dialogs.size() > kMaxDialogInfoDialogs) std::abort();
  (void)lineStateOf(*info);
  const std::optional<DialogInfo> again = parseDialogInfo(writeDialogInfo(*info));
  if (!again || again->dialogs.size() != info->dialogs.size()) std::abort();
  return 0;
}
