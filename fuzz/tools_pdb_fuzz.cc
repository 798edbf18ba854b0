// Reads arbitrary bytes as a handheld database file. Whatever the reader accepts must be
// written back, and what is written must read back and write out the same bytes again: the
// stand-in never saves a handheld it could not load at the next start.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/pdb_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  velqor::tools::PdbFile file;
  std::string error;
  if (!velqor::tools::ParsePdb(input, &file, &error)) {
    if (error.empty()) {
      std::fprintf(stderr, "a refused file was given no reason\n");
      std::abort();
    }
    return 0;
  }
  std::string first;
  if (!velqor::tools::SerializePdb(file, &first, &error)) {
    std::fprintf(stderr, "a file that was read cannot be written: %s\n", error.c_str());
    std::abort();
  }
  velqor::tools::PdbFile again;
  if (!velqor::tools::ParsePdb(first, &again, &error)) {
    std::fprintf(stderr, "a written file does not read back: %s\n", error.c_str());
    std::abort();
  }
  if (again.db.records.size() != file.db.records.size() || again.db.name != file.db.name ||
      again.db.appInfo != file.db.appInfo) {
    std::fprintf(stderr, "a written file reads back as another database\n");
    std::abort();
  }
  std::string second;
  if (!velqor::tools::SerializePdb(again, &second, &error) || second != first) {
    std::fprintf(stderr, "writing a file read back gives other bytes\n");
    std::abort();
  }
  return 0;
}
