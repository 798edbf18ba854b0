#include "drivers/driver_config.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/clock.h"
#include "platform/files.h"

namespace velqor::drivers {

namespace {
constexpr const char* kErrorFile = "conderr.txt";
}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string DriverConfig::Get(const std::string& key) const {
  for (const auto& [k, v] : lines) {
    if (k == key) return v;
  }
  return "";
}

void DriverConfig::Set(const std::string& key, const std::string& value) {
  for (auto& [k, v] : lines) {
    if (k == key) {
      v = value;
      return;
    }
  }
  lines.emplace_back(key, value);
}

bool ReadDriverConfig(const std::string& path, DriverConfig* config, std::string* error) {
  velqor::platform::FileSystem& fs = velqor::platform::GetFileSystem();
  if (!fs.Exists(path)) return true;
  std::string text;
  if (!fs.ReadAll(path, &text)) {
    *error = path + ": cannot be read";
    return false;
  }
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++lineNo;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t sp = line.find(' ');
    const std::string key = line.substr(0, sp);
    const std::string value =
        sp == std::string::npos ? "" : line.substr(line.find_first_not_of(' ', sp));
    if (key != "calendar" && key != "timezone" && key != "now") {
      *error = path + ": line " + std::to_string(lineNo) + ": unknown setting '" + key + "'";
      return false;
    }
    config->lines.emplace_back(key, value);
  }
  return true;
}

bool OpenDriverConfig(const std::string& dir, const std::string& fileName, DriverConfig* config,
                      std::string* error) {
  if (!ReadDriverConfig(JoinPath(dir, fileName), config, error)) return false;
  const std::string zone = config->Get("timezone");
  if (!zone.empty()) {
    setenv("TZ", zone.c_str(), 1);
    velqor::platform::ReloadTimeZone();
  }
  return true;
}

bool WriteDriverConfig(const std::string& path, const std::string& program,
                       const DriverConfig& config, std::string* error) {
  std::string text = "# " + program + " configuration\n";
  for (const auto& [k, v] : config.lines) text += k + " " + v + "\n";
  if (!velqor::platform::GetFileSystem().WriteAtomically(path, text)) {
    *error = path + ": cannot be written";
    return false;
  }
  return true;
}

bool PinnedNow(const DriverConfig& config, const std::string& fileName, int64_t* now,
               std::string* error) {
  const std::string pinned = config.Get("now");
  if (pinned.empty()) {
    *now = static_cast<int64_t>(std::time(nullptr));
    return true;
  }
  int y, mo, d, h, mi, s = 0;
  char tail;
  const int n =
      std::sscanf(pinned.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail);
  if ((n != 5 && n != 6) || !velqor::platform::MakeLocalTime(y, mo, d, h, mi, s, now)) {
    *error = fileName + ": now is not YYYY-MM-DD HH:MM[:SS]: " + pinned;
    return false;
  }
  return true;
}

int ReportFailure(const std::string& program, const std::string& dir, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program.c_str(), message.c_str());
  if (!dir.empty()) {
    velqor::platform::GetFileSystem().WriteAtomically(JoinPath(dir, kErrorFile),
                                                      program + ": " + message + "\n");
  }
  return 1;
}

}  // namespace velqor::drivers
