// SPDX-License-Identifier: Apache-2.0
// Where a profile keeps its files: QUILLET_HOME when set, else the XDG locations.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace quillet::platform {

struct ProfilePaths {
  std::string settingsFile;         // settings.ini of the user
  std::string machineSettingsFile;  // /etc/quillet/settings.ini, read only
  std::string dataDir;              // contacts.ini, Logs/, System Tones/ (ends without '/')
  std::string runtimeDir;           // instance locks and control socket
  std::string tempDir;              // $TMPDIR or /tmp

  std::string logsDir() const { return dataDir + "/Logs"; }
  std::string tonesDir() const { return dataDir + "/System Tones"; }
  std::string contactsFile() const { return dataDir + "/contacts.ini"; }
  // One line per call; the older part is kept beside it as call-history.jsonl.1.
  std::string callHistoryFile() const { return dataDir + "/call-history.jsonl"; }
  std::string lockFile() const { return runtimeDir + "/quillet.lock"; }
  // Held by the running instance from its start to its very end.
  std::string runningLockFile() const { return runtimeDir + "/quillet.running.lock"; }
  std::string controlSocket() const { return runtimeDir + "/quillet.sock"; }
};

// The paths from the current environment (read at each call).
ProfilePaths profilePaths();

// $TMPDIR, or /tmp when unset or empty.
std::string tempDir();

// Joins a folder and a name with exactly one '/' between them.
std::string joinPath(std::string_view folder, std::string_view name);

// Creates the folder and its missing parents. True when it exists afterwards.
bool makeDirs(const std::string& path, mode_t mode = 0700);

// Full path of the running executable ("" when unknown).
std::string executablePath();

// Creates a new empty file in $TMPDIR from the prefix (mkstemp); answers its path or ""
// when it could not be created.
std::string makeTempFile(std::string_view prefix);

}  // namespace quillet::platform
