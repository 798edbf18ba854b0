// Command-line pieces shared by the hotsync commands: option parsing, exit statuses, number,
// date and time parsing, and JSON text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velqor::tools {

inline constexpr int kExitClean = 0;
inline constexpr int kExitProblems = 1;
inline constexpr int kExitFailed = 2;
inline constexpr int kExitUsage = 64;

struct OptionSpec {
  std::string name;  // without the leading dashes
  bool takesValue = false;
};

struct ParsedArgs {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;
  bool help = false;

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  // The last value given, or the fallback.
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  const std::vector<std::string>& All(const std::string& name) const;
};

// Parses argv[first..argc). "--name value" and "--name=value" are both accepted; "--" ends the
// options. False with a one-line message naming the argument that is wrong.
bool ParseArgs(int argc, char** argv, int first, const std::vector<OptionSpec>& options,
               ParsedArgs* out, std::string* error);

// Prints "hotsync: <message>" on stderr and returns kExitUsage.
int UsageError(const std::string& message);
// Prints "hotsync: <message>" on stderr and returns kExitFailed.
int Failure(const std::string& message);

std::optional<int64_t> ParseInteger(const std::string& text);  // decimal, or 0x hexadecimal
// "YYYY-MM-DD" into its fields, checked against the calendar.
bool ParseDate(const std::string& text, int* year, int* month, int* day);
// "HH:MM" or "HH:MM:SS".
bool ParseClock(const std::string& text, int* hour, int* minute, int* second);
// "YYYY-MM-DD HH:MM[:SS]" in local time.
bool ParseLocalDateTime(const std::string& text, int64_t* time);
// A date at local midnight.
bool ParseLocalDate(const std::string& text, int64_t* time);

std::string JsonString(const std::string& text);  // quoted and escaped

// The directory that holds the running program.
std::string ProgramDirectory();

}  // namespace velqor::tools
