// SPDX-License-Identifier: Apache-2.0
// Address book of 10000 contacts: loading contacts.ini into the cache, reading every
// contact through the store, sorting the contact list, finding a contact by address,
// adding one contact (a full atomic rewrite) and importing a CSV file.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "contacts/contact_store.h"
#include "contacts/csv_transfer.h"
#include "contacts/ini_file.h"

namespace {

using namespace quillet::contacts;

constexpr int kContacts = 10000;

std::string address(int i) {
  return "sip:user" + std::to_string(i) + "@example.org";
}

// A scratch folder with a contacts.ini of kContacts contacts, as the program writes it.
class Book {
 public:
  Book() {
    std::string pattern = std::filesystem::temp_directory_path() / "quillet-bench-XXXXXX";
    folder_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string(".");
    path_ = folder_ + "/contacts.ini";
    std::ofstream out(path_, std::ios::binary);
    out << "[contacts]\r\n";
    for (int i = 0; i < kContacts; ++i) {
      const std::string p = "entry" + std::to_string(i);
      // Names in an order unrelated to the positions, so that sorting has work to do.
      out << p << "id=" << i << "\r\n"
          << p << "name=Contact " << (i * 7919) % kContacts << " Ünal\r\n"
          << p << "phone=" << address(i) << "\r\n"
          << p << "email=user" << i << "@example.org\r\n";
    }
    out << "entrycount=" << kContacts << "\r\n\r\n";
  }
  ~Book() {
    IniFile::flushAll();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return folder_ + "/" + name; }

 private:
  std::string folder_;
  std::string path_;
};

void BM_LoadBook(benchmark::State& state) {
  Book book;
  IniContactStore store(book.path());
  for (auto _ : state) {
    IniFile::flushAll();  // empty the cache: the next access reads and parses the file
    benchmark::DoNotOptimize(store.count());
  }
}
BENCHMARK(BM_LoadBook)->Unit(benchmark::kMillisecond);

void BM_ReadAllContacts(benchmark::State& state) {
  Book book;
  IniContactStore store(book.path());
  for (auto _ : state) {
    benchmark::DoNotOptimize(readContacts(store));
  }
}
BENCHMARK(BM_ReadAllContacts)->Unit(benchmark::kMillisecond);

void BM_LoadAndSortForList(benchmark::State& state) {
  Book book;
  IniContactStore store(book.path());
  for (auto _ : state) {
    IniFile::flushAll();
    const auto rows = contactListRows(store);
    if (rows.size() != kContacts) {
      state.SkipWithError("wrong row count");
    }
  }
}
BENCHMARK(BM_LoadAndSortForList)->Unit(benchmark::kMillisecond);

void BM_FindByAddress(benchmark::State& state) {
  Book book;
  IniContactStore store(book.path());
  const std::string last = "SIP:USER" + std::to_string(kContacts - 1) + "@EXAMPLE.ORG";
  for (auto _ : state) {
    if (findContactByNumber(store, last) != kContacts - 1) {
      state.SkipWithError("not found");
    }
  }
}
BENCHMARK(BM_FindByAddress)->Unit(benchmark::kMillisecond);

void BM_AddToLargeBook(benchmark::State& state) {
  Book book;
  IniContactStore store(book.path());
  for (auto _ : state) {
    store.add("New contact", "sip:new@example.org", "");
    state.PauseTiming();
    store.deleteContact(kContacts);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AddToLargeBook)->Unit(benchmark::kMillisecond);

void BM_ImportCsv1000IntoLargeBook(benchmark::State& state) {
  Book book;
  const std::string csv = book.file("import.csv");
  {
    std::ofstream out(csv, std::ios::binary);
    for (int i = 0; i < 1000; ++i) {
      out << csvLine("Imported " + std::to_string(i), address(kContacts + i), "");
    }
  }
  for (auto _ : state) {
    state.PauseTiming();
    const std::string text = [&] {
      std::ifstream in(book.path(), std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    state.ResumeTiming();
    IniContactStore store(book.path());
    const CsvImportResult result = importCsv(store, csv);
    if (result.added != 1000) {
      state.SkipWithError("import failed");
    }
    state.PauseTiming();
    IniFile::flushAll();
    std::ofstream(book.path(), std::ios::binary | std::ios::trunc) << text;
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ImportCsv1000IntoLargeBook)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
