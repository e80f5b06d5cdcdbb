// Resolving a line's settings into the values its engine is built from.
#include "app/line_values.h"

#include <strings.h>

#include <string>

#include "base/log.h"

namespace quillet::app {

std::string lineSection(base::SettingsStore& store, int lineIndex) {
  std::string section = "Line" + std::to_string(lineIndex + 1);
  if (store.readBool(section, "UseDefault", true)) {
    return "DefaultLine";
  }
  return section;
}

LineValues readLineValues(base::SettingsStore& store, int lineIndex) {
  const std::string section = lineSection(store, lineIndex);
  LineValues values;
  values.displayName = store.readText(section, "DisplayName");
  values.userName = store.readText(section, "UserName");
  values.proxy = store.readText(section, "Proxy");
  values.password = store.readPassword(section, "ProxyPassword");
  switch (store.readInt(section, "UseOutboundServer", 0)) {
    case 0:
      values.outboundServer = values.proxy;
      break;
    case 1:
      values.outboundServer = store.readText(section, "OutboundServer");
      break;
    default:
      break;  // no outbound server
  }
  switch (store.readInt(section, "UseAuthentication", 0)) {
    case 0:
      values.authId = values.userName;
      break;
    case 1:
      values.authId = store.readText(section, "AuthID");
      break;
    default:
      break;
  }
  const std::string packing = store.readText(section, "G726Packing");
  values.g726Aal2Packing = strcasecmp(packing.c_str(), "AAL2") == 0;
  if (!packing.empty() && !values.g726Aal2Packing && strcasecmp(packing.c_str(), "RFC3551") != 0) {
    base::logError(section + "/G726Packing: unknown packing \"" + packing + "\", RFC3551 is used");
  }
  return values;
}

}  // namespace quillet::app
