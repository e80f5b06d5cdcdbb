// SPDX-License-Identifier: Apache-2.0
// Typed settings over the settings file, without a cache: every read sees the file as it
// is now, every write goes straight to it. Failures never reach the caller: a read that
// fails gives the default, a write that fails is lost.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/settings_file.h"

namespace quillet::base {

// Texts of more than this many characters do not fit a setting and read as the default.
constexpr size_t kMaxSettingChars = 259;

// A capture device: its name and its input channel.
struct DeviceSetting {
  std::string name;
  int32_t channel = 0;
  bool operator==(const DeviceSetting&) const = default;
};

class SettingsStore {
 public:
  // userFile: the profile's settings.ini; machineFile: the read-only machine-wide file.
  SettingsStore(std::string userFile, std::string machineFile);

  // The process-wide store on the profile's files (created on first use from the
  // environment; see platform/paths.h).
  static SettingsStore& global();
  // Points the process-wide store at other files (tests, tools).
  static void setGlobalFiles(std::string userFile, std::string machineFile);

  std::string readText(std::string_view section, std::string_view name,
                       std::string_view defaultText = {});
  int32_t readInt(std::string_view section, std::string_view name, int32_t defaultValue);
  bool readBool(std::string_view section, std::string_view name, bool defaultValue);
  DeviceSetting readDevice(std::string_view section, std::string_view name);
  std::string readPassword(std::string_view section, std::string_view name) {
    return readText(section, name);
  }
  std::string readMachineText(std::string_view section, std::string_view name,
                              std::string_view defaultText = {});

  void writeText(std::string_view section, std::string_view name, std::string_view text);
  void writeInt(std::string_view section, std::string_view name, int32_t value);
  void writeBool(std::string_view section, std::string_view name, bool value);
  void writeDevice(std::string_view section, std::string_view name, const DeviceSetting& device);
  void writePassword(std::string_view section, std::string_view name, std::string_view text) {
    writeText(section, name, text);
  }
  void deleteValue(std::string_view section, std::string_view name);
  // Removes a section with its values and every section below it.
  void deleteKey(std::string_view section);
  bool keyExists(std::string_view section);

  // The raw stored text (no length rule, no default); for tools and lists.
  bool readRaw(std::string_view section, std::string_view name, std::string& out);
  std::vector<std::string> sections();
  std::vector<std::pair<std::string, std::string>> values(std::string_view section);

  const std::string& userFile() const { return user_.path(); }

  // The conversions, exposed for tests and other readers of stored texts.
  static bool parseInt(std::string_view text, int32_t& value);  // false when empty
  static bool parseBool(std::string_view text, bool& value);    // false when empty

 private:
  platform::SettingsFile user_;
  platform::SettingsFile machine_;
};

// A registry list: key `MaxID` and numbered record sections "KEY\0", "KEY\1", ...; numbers of
// deleted records are not reused, so records may be missing.
class RegistryList {
 public:
  RegistryList(SettingsStore& store, std::string key);

  // Opens the cursor: reads MaxID and moves to the first existing record.
  void open();
  // Moves to the next existing record, or to the end.
  void next();
  bool atEnd() const { return current_ >= maxId_; }
  int32_t current() const { return current_; }
  int32_t maxId() const { return maxId_; }

  // Values of the current record.
  int32_t readInt(std::string_view name, int32_t defaultValue);
  std::string readText(std::string_view name, std::string_view defaultText = {});

  // Values of any record.
  void writeInt(int32_t record, std::string_view name, int32_t value);
  void writeText(int32_t record, std::string_view name, std::string_view text);
  // Appends a record: answers its number (the old MaxID) and raises MaxID.
  int32_t add();
  // Removes a record with all its values and sub-sections; MaxID stays.
  void deleteRecord(int32_t record);

  std::string recordSection(int32_t record) const;

 private:
  void skipMissing();

  SettingsStore& store_;
  std::string key_;
  int32_t maxId_ = 0;
  int32_t current_ = 0;
};

}  // namespace quillet::base
