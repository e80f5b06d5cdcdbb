// SPDX-License-Identifier: Apache-2.0
// quillet-tool contacts: lists and changes the profile's address book (contacts.ini), and
// exports it to or imports it from CSV files. Safe while the program runs: the program
// sees the change at its next access, and writers wait for each other.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "base/log.h"
#include "contacts/contact_store.h"
#include "contacts/contact_text.h"
#include "contacts/csv_transfer.h"
#include "contacts/ini_file.h"
#include "platform/paths.h"
#include "tool.h"

namespace quillet::tool {

namespace {

using contacts::IniContactStore;

constexpr const char* kUsage =
    "usage: quillet-tool contacts list | add NAME NUMBER [EMAIL] | delete NAME |\n"
    "                             export FILE.csv | import FILE.csv...\n"
    "  Works on contacts.ini in the profile's data folder (QUILLET_HOME or XDG).\n"
    "  list prints a JSON array of {position, name, number, email} in stored order.";

void printJson(const nlohmann::ordered_json& value) {
  // Texts of a hand-edited file may hold malformed UTF-8: print U+FFFD for it.
  std::printf("%s\n",
              value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

bool prepareFolder() {
  const std::string folder = platform::profilePaths().dataDir;
  if (platform::makeDirs(folder)) {
    return true;
  }
  std::fprintf(stderr, "quillet-tool: cannot create the data folder %s\n", folder.c_str());
  return false;
}

int list(IniContactStore& store) {
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  const auto all = contacts::readContacts(store);
  for (size_t i = 0; i < all.size(); ++i) {
    rows.push_back({{"position", i},
                    {"name", all[i].name},
                    {"number", all[i].number},
                    {"email", all[i].email}});
  }
  printJson(rows);
  return kExitOk;
}

int add(IniContactStore& store, const Args& args) {
  if (args.size() < 3 || args.size() > 4) {
    return usageError(kUsage);
  }
  if (!prepareFolder()) {
    return kExitRejected;
  }
  auto group = store.groupChanges();  // the check and the addition see the same book
  const contacts::ContactCheck check =
      contacts::checkContact(store, -1, args[1], args[2], args.size() > 3 ? args[3] : "");
  if (check.problem != contacts::ContactProblem::kNone) {
    return rejected(contacts::contactProblemText(check.problem));
  }
  const int32_t position = store.add(check.name, check.number, check.email);
  group.reset();
  if (position < 0 || contacts::IniFile::hasUnwrittenChanges(store.path())) {
    return rejected("cannot write " + store.path());
  }
  printJson({{"position", position}, {"name", check.name}});
  return kExitOk;
}

int remove(IniContactStore& store, const Args& args) {
  if (args.size() != 2) {
    return usageError(kUsage);
  }
  auto group = store.groupChanges();
  const int32_t position = contacts::findContactByName(store, contacts::trimBlanks(args[1]));
  if (position < 0) {
    return rejected("no contact is named '" + args[1] + "'");
  }
  const bool deleted = store.deleteContact(store.idAt(position));
  group.reset();
  if (!deleted || contacts::IniFile::hasUnwrittenChanges(store.path())) {
    return rejected("cannot write " + store.path());
  }
  printJson({{"deleted", position}});
  return kExitOk;
}

int exportTo(IniContactStore& store, const Args& args) {
  if (args.size() != 2) {
    return usageError(kUsage);
  }
  const contacts::CsvExportResult result = contacts::exportCsv(store, args[1]);
  if (!result.opened) {
    return rejected("cannot create " + args[1]);
  }
  if (!result.complete) {
    return rejected("cannot write " + args[1] + " (" + std::to_string(result.written) +
                    " contacts written)");
  }
  printJson({{"exported", result.written}});
  return kExitOk;
}

int importFrom(IniContactStore& store, const Args& args) {
  if (args.size() < 2) {
    return usageError(kUsage);
  }
  if (!prepareFolder()) {
    return kExitRejected;
  }
  nlohmann::ordered_json files = nlohmann::ordered_json::array();
  bool allOpened = true;
  for (size_t i = 1; i < args.size(); ++i) {
    const contacts::CsvImportResult result = contacts::importCsv(store, args[i]);
    allOpened = allOpened && result.opened;
    files.push_back({{"file", args[i]},
                     {"opened", result.opened},
                     {"added", result.added},
                     {"skipped", result.skipped}});
  }
  printJson(files);
  if (contacts::IniFile::hasUnwrittenChanges(store.path())) {
    return rejected("cannot write " + store.path());
  }
  return allOpened ? kExitOk : rejected("some files could not be opened");
}

}  // namespace

int runContacts(const Args& args) {
  if (args.empty()) {
    return usageError(kUsage);
  }
  base::LogWriter::instance().setEchoToStderr(true);  // e.g. an over-long CSV line
  IniContactStore store(contacts::contactsIniPath());
  const std::string& command = args[0];
  int status;
  if (command == "list" && args.size() == 1) {
    status = list(store);
  } else if (command == "add") {
    status = add(store, args);
  } else if (command == "delete") {
    status = remove(store, args);
  } else if (command == "export") {
    status = exportTo(store, args);
  } else if (command == "import") {
    status = importFrom(store, args);
  } else {
    return usageError(kUsage);
  }
  contacts::IniFile::flushAll();
  return status;
}

}  // namespace quillet::tool
