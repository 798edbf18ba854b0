#include "tools/cli.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"

namespace velqor::tools {

std::string ParsedArgs::Get(const std::string& name, const std::string& fallback) const {
  auto it = options.find(name);
  return it == options.end() || it->second.empty() ? fallback : it->second.back();
}

const std::vector<std::string>& ParsedArgs::All(const std::string& name) const {
  static const std::vector<std::string> kNone;
  auto it = options.find(name);
  return it == options.end() ? kNone : it->second;
}

bool ParseArgs(int argc, char** argv, int first, const std::vector<OptionSpec>& options,
               ParsedArgs* out, std::string* error) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || arg == "-") {
      out->positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      out->help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      *error = "unknown option " + arg;
      return false;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> inlineValue;
    const size_t eq = name.find('=');
    if (eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const OptionSpec* found = nullptr;
    for (const auto& s : options) {
      if (s.name == name) found = &s;
    }
    if (found == nullptr) {
      *error = "unknown option --" + name;
      return false;
    }
    if (!found->takesValue) {
      if (inlineValue) {
        *error = "option --" + name + " takes no value";
        return false;
      }
      out->options[name].push_back("");
      continue;
    }
    if (inlineValue) {
      out->options[name].push_back(*inlineValue);
    } else if (i + 1 < argc) {
      out->options[name].push_back(argv[++i]);
    } else {
      *error = "option --" + name + " needs a value";
      return false;
    }
  }
  return true;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "hotsync: %s\n", message.c_str());
  return kExitUsage;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "hotsync: %s\n", message.c_str());
  return kExitFailed;
}

std::optional<int64_t> ParseInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    i = 1;
  }
  int base = 10;
  if (text.size() > i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (value > (INT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return negative ? -value : value;
}

namespace {

bool Digits(const std::string& text, size_t pos, size_t count, int* value) {
  if (pos + count > text.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

bool ParseDate(const std::string& text, int* year, int* month, int* day) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day)) {
    return false;
  }
  return *month >= 1 && *month <= 12 && *day >= 1 && *day <= DaysInMonth(*year, *month);
}

bool ParseClock(const std::string& text, int* hour, int* minute, int* second) {
  *second = 0;
  if (text.size() != 5 && text.size() != 8) return false;
  if (text[2] != ':' || !Digits(text, 0, 2, hour) || !Digits(text, 3, 2, minute)) return false;
  if (text.size() == 8 && (text[5] != ':' || !Digits(text, 6, 2, second))) return false;
  return *hour <= 23 && *minute <= 59 && *second <= 59;
}

bool ParseLocalDateTime(const std::string& text, int64_t* time) {
  if (text.size() < 16 || text[10] != ' ') return false;
  int y, mo, d, h, mi, s;
  if (!ParseDate(text.substr(0, 10), &y, &mo, &d) || !ParseClock(text.substr(11), &h, &mi, &s)) {
    return false;
  }
  int64_t t = 0;
  if (!platform::MakeLocalTime(y, mo, d, h, mi, s, &t)) return false;
  if (t < INT32_MIN || t > INT32_MAX) return false;
  *time = t;
  return true;
}

bool ParseLocalDate(const std::string& text, int64_t* time) {
  int y, mo, d;
  if (!ParseDate(text, &y, &mo, &d)) return false;
  int64_t t = 0;
  if (!platform::MakeLocalTime(y, mo, d, 0, 0, 0, &t)) return false;
  if (t < INT32_MIN || t > INT32_MAX) return false;
  *time = t;
  return true;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = p[i];
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    char buf[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      continue;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    // A well-formed UTF-8 sequence passes; any other byte is taken as a Latin-1 character.
    size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (c > 0xF4) len = 0;
    bool valid = len > 0 && i + len <= n;
    for (size_t k = 1; valid && k < len; ++k) valid = (p[i + k] & 0xC0) == 0x80;
    if (valid) {
      out.append(text, i, len);
      i += len - 1;
    } else {
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    }
  }
  out += "\"";
  return out;
}

std::string ProgramDirectory() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace velqor::tools
