// SPDX-License-Identifier: Apache-2.0
// IniFile: process-wide cache of small key=value files that other processes may change.
// Every get or set first checks the file on disk and re-reads it when it changed; every
// set writes the file at once, replacing it atomically.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace quillet::contacts {

class IniFile {
 public:
  // The value, or `fallback` when the section or key is missing.
  static std::string getText(const std::string& path, std::string_view section,
                             std::string_view key, std::string_view fallback = {});
  // Sets the value (creating section and key as needed) and writes the file. Answers
  // false when the file could not be written; the change then stays in memory and is
  // written by a later set or by flushAll.
  static bool setText(const std::string& path, std::string_view section, std::string_view key,
                      std::string_view value);
  // Removes the key (a missing section or key changes nothing) and writes the file.
  static bool deleteKey(const std::string& path, std::string_view section, std::string_view key);

  // The value read as a signed decimal number; `fallback` when missing or empty.
  static int32_t getInt(const std::string& path, std::string_view section, std::string_view key,
                        int32_t fallback);
  static bool setInt(const std::string& path, std::string_view section, std::string_view key,
                     int32_t value);

  // The integer under the key NAME + "count", 0 when missing.
  static int32_t getCount(const std::string& path, std::string_view section, std::string_view name);
  static bool setCount(const std::string& path, std::string_view section, std::string_view name,
                       int32_t value);

  // The number of keys in the section (0 when it is missing).
  static int32_t keyCount(const std::string& path, std::string_view section);

  // Writes every cached file with unwritten changes and empties the cache. Registered to
  // run at process exit; may also be called earlier.
  static void flushAll();

  // Whether the cached copy of `path` holds changes that are not on disk yet.
  static bool hasUnwrittenChanges(const std::string& path);

  // Groups the changes of one operation on one file: while a Batch lives, this thread has
  // the cache to itself, other processes that use IniFile are kept from writing the file,
  // and the sets only change memory; the file is written once when the Batch ends.
  class Batch {
   public:
    explicit Batch(const std::string& path);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // Whether the file's lock is held. Without it (another writer kept it for longer than
    // the write budget) the batch still works in memory, but its changes are written only
    // if the file is unchanged when the batch ends; callers that must not lose a change
    // check this first and give up.
    bool locked() const;
    // Writes what changed so far and stays open (inside an enclosing batch of the same file
    // the enclosing one writes). Answers false on a write failure.
    bool commit();

   private:
    std::unique_lock<std::recursive_mutex> lock_;
    std::string path_;
  };

  // Signed decimal conversion: leading blanks, an optional sign, then digits up to the
  // first non-digit ("12ab" is 12); clamped to the 32-bit range; 0 when no digit.
  static int32_t parseInt(std::string_view text);
};

}  // namespace quillet::contacts
