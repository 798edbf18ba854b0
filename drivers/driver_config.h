// What the host drivers share besides their calendars: the "KEY value" configuration file in
// the user's folder (calendar, timezone, and now, which pins the driver's clock to the
// conduit's), paths in that folder, and the report of a failure on stderr and in conderr.txt.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velqor::drivers {

// `name` in the folder `dir`, unless it is an absolute path.
std::string JoinPath(const std::string& dir, const std::string& name);

struct DriverConfig {
  std::vector<std::pair<std::string, std::string>> lines;  // kept in order for rewriting
  std::string Get(const std::string& key) const;           // "" when not set
  void Set(const std::string& key, const std::string& value);
};

// A missing file is an empty configuration; a key other than calendar, timezone and now is
// refused with its line number.
bool ReadDriverConfig(const std::string& path, DriverConfig* config, std::string* error);
// Reads the configuration file `fileName` in `dir` and takes its time zone, if it names one,
// as the process's own.
bool OpenDriverConfig(const std::string& dir, const std::string& fileName, DriverConfig* config,
                      std::string* error);
// Replaces the file atomically, under a comment naming the program.
bool WriteDriverConfig(const std::string& path, const std::string& program,
                       const DriverConfig& config, std::string* error);
// The pinned "now" (YYYY-MM-DD HH:MM[:SS], local time), or the system clock when none is set.
bool PinnedNow(const DriverConfig& config, const std::string& fileName, int64_t* now,
               std::string* error);
// Writes "PROGRAM: MESSAGE" to stderr and to conderr.txt in `dir`; returns the exit code 1.
int ReportFailure(const std::string& program, const std::string& dir, const std::string& message);

}  // namespace velqor::drivers
