// SPDX-License-Identifier: Apache-2.0
// Profile paths from QUILLET_HOME or the XDG variables.
#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace quillet::platform {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string stripSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

std::string homeDir() {
  std::string home = env("HOME");
  return home.empty() ? std::string("/tmp") : stripSlash(home);
}

}  // namespace

std::string tempDir() {
  std::string dir = env("TMPDIR");
  return dir.empty() ? std::string("/tmp") : stripSlash(dir);
}

std::string joinPath(std::string_view folder, std::string_view name) {
  std::string out(folder);
  while (!out.empty() && out.back() == '/') {
    out.pop_back();
  }
  size_t start = 0;
  while (start < name.size() && name[start] == '/') {
    ++start;
  }
  out += '/';
  out.append(name.substr(start));
  return out;
}

ProfilePaths profilePaths() {
  ProfilePaths paths;
  paths.machineSettingsFile = "/etc/quillet/settings.ini";
  paths.tempDir = tempDir();
  std::string home = env("QUILLET_HOME");
  if (!home.empty()) {
    home = stripSlash(home);
    paths.settingsFile = home + "/settings.ini";
    paths.dataDir = home;
    paths.runtimeDir = home;
    return paths;
  }
  std::string config = env("XDG_CONFIG_HOME");
  if (config.empty()) {
    config = homeDir() + "/.config";
  }
  paths.settingsFile = stripSlash(config) + "/quillet/settings.ini";
  std::string data = env("XDG_DATA_HOME");
  if (data.empty()) {
    data = homeDir() + "/.local/share";
  }
  paths.dataDir = stripSlash(data) + "/quillet";
  std::string runtime = env("XDG_RUNTIME_DIR");
  if (runtime.empty()) {
    runtime = "/tmp";
  }
  paths.runtimeDir = stripSlash(runtime) + "/quillet-" + std::to_string(getuid());
  return paths;
}

bool makeDirs(const std::string& path, mode_t mode) {
  if (path.empty()) {
    return false;
  }
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) {
      continue;
    }
    if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
      return false;
    }
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string executablePath() {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) {
    return std::string();
  }
  return std::string(buffer.data(), static_cast<size_t>(n));
}

std::string makeTempFile(std::string_view prefix) {
  std::string pattern = joinPath(tempDir(), std::string(prefix) + "XXXXXX");
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    return std::string();
  }
  ::close(fd);
  return pattern;
}

}  // namespace quillet::platform
