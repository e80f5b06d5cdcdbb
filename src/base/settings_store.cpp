// SPDX-License-Identifier: Apache-2.0
// SettingsStore and RegistryList over the settings file.
#include "base/settings_store.h"

#include <climits>
#include <mutex>

#include "platform/paths.h"
#include "platform/utf.h"

namespace quillet::base {

namespace {

std::mutex gGlobalMutex;
std::unique_ptr<SettingsStore> gGlobal;

}  // namespace

SettingsStore::SettingsStore(std::string userFile, std::string machineFile)
    : user_(std::move(userFile)), machine_(std::move(machineFile), true) {}

SettingsStore& SettingsStore::global() {
  std::lock_guard<std::mutex> lock(gGlobalMutex);
  if (!gGlobal) {
    platform::ProfilePaths paths = platform::profilePaths();
    gGlobal = std::make_unique<SettingsStore>(paths.settingsFile, paths.machineSettingsFile);
  }
  return *gGlobal;
}

void SettingsStore::setGlobalFiles(std::string userFile, std::string machineFile) {
  std::lock_guard<std::mutex> lock(gGlobalMutex);
  gGlobal = std::make_unique<SettingsStore>(std::move(userFile), std::move(machineFile));
}

bool SettingsStore::parseInt(std::string_view text, int32_t& value) {
  if (text.empty()) {
    return false;
  }
  // The usual decimal conversion: leading blanks, an optional sign, digits up to the first
  // non-digit; no digits reads 0; out-of-range values are clamped.
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int64_t magnitude = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    magnitude = magnitude * 10 + (text[pos] - '0');
    if (magnitude > static_cast<int64_t>(INT32_MAX) + 1) {
      magnitude = static_cast<int64_t>(INT32_MAX) + 1;
    }
    ++pos;
  }
  int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT32_MAX) {
    signedValue = INT32_MAX;
  }
  value = static_cast<int32_t>(signedValue);
  return true;
}

bool SettingsStore::parseBool(std::string_view text, bool& value) {
  if (text.empty()) {
    return false;
  }
  value = text[0] != '0';
  return true;
}

bool SettingsStore::readRaw(std::string_view section, std::string_view name, std::string& out) {
  std::optional<std::string> value = user_.get(section, name);
  if (!value) {
    return false;
  }
  out = std::move(*value);
  return true;
}

std::string SettingsStore::readText(std::string_view section, std::string_view name,
                                    std::string_view defaultText) {
  std::optional<std::string> value = user_.get(section, name);
  // A text too long for the 260-character buffer does not fit and reads as the default.
  if (!value || platform::utf8Length(*value) > kMaxSettingChars) {
    return std::string(defaultText);
  }
  return *value;
}

std::string SettingsStore::readMachineText(std::string_view section, std::string_view name,
                                           std::string_view defaultText) {
  std::optional<std::string> value = machine_.get(section, name);
  if (!value || platform::utf8Length(*value) > kMaxSettingChars) {
    return std::string(defaultText);
  }
  return *value;
}

int32_t SettingsStore::readInt(std::string_view section, std::string_view name,
                               int32_t defaultValue) {
  std::string text = readText(section, name);
  int32_t value;
  return parseInt(text, value) ? value : defaultValue;
}

bool SettingsStore::readBool(std::string_view section, std::string_view name, bool defaultValue) {
  std::string text = readText(section, name);
  bool value;
  return parseBool(text, value) ? value : defaultValue;
}

DeviceSetting SettingsStore::readDevice(std::string_view section, std::string_view name) {
  DeviceSetting device;
  device.name = readText(section, name);
  device.channel = readInt(section, std::string(name) + "Channel", 0);
  return device;
}

void SettingsStore::writeText(std::string_view section, std::string_view name,
                              std::string_view text) {
  user_.set(section, name, text);
}

void SettingsStore::writeInt(std::string_view section, std::string_view name, int32_t value) {
  user_.set(section, name, std::to_string(value));
}

void SettingsStore::writeBool(std::string_view section, std::string_view name, bool value) {
  user_.set(section, name, value ? "1" : "0");
}

void SettingsStore::writeDevice(std::string_view section, std::string_view name,
                                const DeviceSetting& device) {
  writeText(section, name, device.name);
  writeInt(section, std::string(name) + "Channel", device.channel);
}

void SettingsStore::deleteValue(std::string_view section, std::string_view name) {
  user_.remove(section, name);
}

void SettingsStore::deleteKey(std::string_view section) {
  user_.removeSection(section);
}

bool SettingsStore::keyExists(std::string_view section) {
  return user_.hasSection(section);
}

std::vector<std::string> SettingsStore::sections() {
  return user_.sections();
}

std::vector<std::pair<std::string, std::string>> SettingsStore::values(std::string_view section) {
  return user_.values(section);
}

// ---------------------------------------------------------------------------------------

RegistryList::RegistryList(SettingsStore& store, std::string key)
    : store_(store), key_(std::move(key)) {}

std::string RegistryList::recordSection(int32_t record) const {
  return key_ + "\\" + std::to_string(record);
}

void RegistryList::skipMissing() {
  while (current_ < maxId_ && !store_.keyExists(recordSection(current_))) {
    ++current_;
  }
}

void RegistryList::open() {
  maxId_ = store_.readInt(key_, "MaxID", 0);
  if (maxId_ < 0) {
    maxId_ = 0;
  }
  current_ = 0;
  skipMissing();
}

void RegistryList::next() {
  if (current_ < maxId_) {
    ++current_;
    skipMissing();
  }
}

int32_t RegistryList::readInt(std::string_view name, int32_t defaultValue) {
  return store_.readInt(recordSection(current_), name, defaultValue);
}

std::string RegistryList::readText(std::string_view name, std::string_view defaultText) {
  return store_.readText(recordSection(current_), name, defaultText);
}

void RegistryList::writeInt(int32_t record, std::string_view name, int32_t value) {
  store_.writeInt(recordSection(record), name, value);
}

void RegistryList::writeText(int32_t record, std::string_view name, std::string_view text) {
  store_.writeText(recordSection(record), name, text);
}

int32_t RegistryList::add() {
  int32_t record = store_.readInt(key_, "MaxID", 0);
  if (record < 0) {
    record = 0;
  }
  store_.writeInt(key_, "MaxID", record + 1);
  maxId_ = record + 1;
  return record;
}

void RegistryList::deleteRecord(int32_t record) {
  store_.deleteKey(recordSection(record));
}

}  // namespace quillet::base
