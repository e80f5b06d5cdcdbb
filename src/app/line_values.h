// The values of a SIP line as the engine is built from them: the line's settings section
// (or the default line's) with the outbound server and authentication identity resolved.
#pragma once

#include <string>

#include "base/settings_store.h"

namespace quillet::app {

struct LineValues {
  std::string displayName;
  std::string userName;
  std::string proxy;
  std::string outboundServer;  // resolved: the proxy, the configured server or empty
  std::string authId;          // resolved: the user name, the configured identity or empty
  std::string password;
  // G726Packing=AAL2: the line's peers pack "G726-32" high nibble first (default RFC3551).
  bool g726Aal2Packing = false;
};

// The section the line's values are read from: "Line<index+1>", or "DefaultLine" when
// that section's UseDefault is yes (also when it is absent).
std::string lineSection(base::SettingsStore& store, int lineIndex);

LineValues readLineValues(base::SettingsStore& store, int lineIndex);

// The REGISTER priority of every line (sent as q=0.90).
constexpr double kLinePriority = 0.9;

}  // namespace quillet::app
