// SPDX-License-Identifier: Apache-2.0
// quillet-tool settings: read and change the profile's settings file without a running
// program.
//   settings get SECTION NAME          prints the stored value; exit 1 when there is none
//   settings set SECTION NAME VALUE    stores the value (exit 1 when it cannot be stored)
//   settings delete SECTION NAME       removes the value
//   settings list [SECTION]            JSON: {"SECTION": {"NAME": "VALUE", ...}, ...}
//   settings path                      prints the settings file's path
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "base/settings_store.h"
#include "platform/paths.h"
#include "platform/settings_file.h"
#include "platform/utf.h"
#include "tool.h"

namespace quillet::tool {

namespace {

// JSON needs valid UTF-8; a hand-edited file may hold anything.
std::string jsonText(const std::string& text) {
  return platform::sanitizeUtf8(text);
}

}  // namespace

int runSettings(const Args& args) {
  if (args.empty()) {
    return usageError(
        "settings get SECTION NAME | set SECTION NAME VALUE | delete SECTION NAME | list [SECTION] "
        "| path");
  }
  platform::ProfilePaths paths = platform::profilePaths();
  base::SettingsStore store(paths.settingsFile, paths.machineSettingsFile);
  const std::string& command = args[0];
  if (command == "get" && args.size() == 3) {
    std::string value;
    if (!store.readRaw(args[1], args[2], value)) {
      std::fprintf(stderr, "quillet-tool: no value %s/%s\n", args[1].c_str(), args[2].c_str());
      return kExitRejected;
    }
    std::fwrite(value.data(), 1, value.size(), stdout);
    std::fputc('\n', stdout);
    return kExitOk;
  }
  if (command == "set" && args.size() == 4) {
    if (!platform::SettingsDocument::validSectionName(args[1]) ||
        !platform::SettingsDocument::validValueName(args[2])) {
      std::fprintf(stderr, "quillet-tool: '%s' / '%s' cannot be stored as section / name\n",
                   args[1].c_str(), args[2].c_str());
      return kExitRejected;
    }
    platform::SettingsFile file(paths.settingsFile);
    if (!file.set(args[1], args[2], args[3])) {
      std::fprintf(stderr, "quillet-tool: cannot write %s\n", paths.settingsFile.c_str());
      return kExitRejected;
    }
    return kExitOk;
  }
  if (command == "delete" && args.size() == 3) {
    platform::SettingsFile file(paths.settingsFile);
    if (!file.get(args[1], args[2])) {
      std::fprintf(stderr, "quillet-tool: no value %s/%s\n", args[1].c_str(), args[2].c_str());
      return kExitRejected;
    }
    if (!file.remove(args[1], args[2])) {
      std::fprintf(stderr, "quillet-tool: cannot write %s\n", paths.settingsFile.c_str());
      return kExitRejected;
    }
    return kExitOk;
  }
  if (command == "list" && args.size() <= 2) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const std::string& section : store.sections()) {
      if (args.size() == 2 && !platform::SettingsDocument::sameName(section, args[1])) {
        continue;  // another section (compared without regard to case)
      }
      nlohmann::ordered_json values = nlohmann::ordered_json::object();
      for (const auto& [name, value] : store.values(section)) {
        values[jsonText(name)] = jsonText(value);
      }
      out[jsonText(section)] = std::move(values);
    }
    std::cout << out.dump(2) << "\n";
    return kExitOk;
  }
  if (command == "path" && args.size() == 1) {
    std::printf("%s\n", paths.settingsFile.c_str());
    return kExitOk;
  }
  return usageError(
      "settings get SECTION NAME | set SECTION NAME VALUE | delete SECTION NAME | list [SECTION] | "
      "path");
}

}  // namespace quillet::tool
