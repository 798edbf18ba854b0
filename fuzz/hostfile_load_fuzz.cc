// Loads arbitrary bytes as an exchange file. A file that loads must save, and what is saved
// must load back with the same number of records: the storer never writes a file that cannot
// be read back.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "hostfile/vuzur_table.h"
#include "platform/clock.h"

namespace {

const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/hostfile_fuzz_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    // Summer time makes the local-time paths do real work.
    ::setenv("TZ", "America/New_York", 1);
    velqor::platform::ReloadTimeZone();
    return pattern;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = ScratchDir() + "/input.dat";
  const std::string saved = ScratchDir() + "/saved.dat";
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
  }

  CVuzurTable table;
  const long loaded = table.LoadFrom(input, 0);
  if (loaded == kTblFileMissing) std::abort();  // the file is there
  if (loaded != 0) return 0;

  if (table.SaveTo(saved) != 0) return 0;  // a value the format cannot carry
  CVuzurTable again;
  if (again.LoadFrom(saved, 0) != 0) {
    std::fprintf(stderr, "a saved file did not load back\n");
    std::abort();
  }
  if (again.GetRecordCount() != table.GetRecordCount()) {
    std::fprintf(stderr, "reload gave %ld records instead of %ld\n", again.GetRecordCount(),
                 table.GetRecordCount());
    std::abort();
  }
  return 0;
}
