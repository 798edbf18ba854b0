#include "shell/driver_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/clock.h"
#include "platform/hotsync_log.h"
#include "platform/process.h"
#include "platform/sync_manager.h"

namespace velqor::shell {

namespace {

// The error file is one log line; a driver that writes more than this much is cut off here
// rather than let it exhaust the conduit's memory.
constexpr size_t kMaxErrorText = 64 * 1024;

void LogShell(const std::string& text) {
  LogWrite(text.c_str(), velqor::platform::kLogShellFailure, 0);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string CommandLine(const std::string& driverPath, const char* step,
                        const std::string& directory, const std::string& file,
                        const std::string& user, int32_t number) {
  return driverPath + " " + step + " " + directory + " " + file + " " + user + " " +
         std::to_string(number);
}

std::string ConvertPathList(const std::string& windowsList) {
  std::string result;
  size_t start = 0;
  while (start <= windowsList.size()) {
    size_t end = windowsList.find(';', start);
    if (end == std::string::npos) end = windowsList.size();
    if (end > start) {
      if (!result.empty()) result += ':';
      result.append(windowsList, start, end - start);
    }
    start = end + 1;
  }
  return result;
}

}  // namespace

std::string BuildEnvironmentBlock(const std::string& hllPath) {
  std::string block = "PATH=" + hllPath + ";";
  block.push_back('\0');
  block.push_back('\0');
  return block;
}

std::vector<std::string> EnvironmentFromBlock(const std::string& block) {
  std::vector<std::string> environment;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\0', start);
    if (end == std::string::npos) end = block.size();  // a block missing its final NUL
    if (end == start) break;                           // the empty string ends the block
    std::string entry = block.substr(start, end - start);
    if (entry.compare(0, 5, "PATH=") == 0) {
      const std::string list = ConvertPathList(entry.substr(5));
      if (!list.empty()) environment.push_back("PATH=" + list);
    } else {
      environment.push_back(entry);
    }
    start = end + 1;
  }
  return environment;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < commandLine.size() && !IsBlank(commandLine[pos])) ++pos;
  words.push_back(commandLine.substr(0, pos));
  while (pos < commandLine.size()) {
    while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
    const size_t start = pos;
    while (pos < commandLine.size() && !IsBlank(commandLine[pos])) ++pos;
    if (pos > start) words.push_back(commandLine.substr(start, pos - start));
  }
  return words;
}

int32_t RunHostDriver(const std::string& commandLine, const std::string& environment) {
  velqor::platform::ProcessRunner& runner = velqor::platform::GetProcessRunner();
  velqor::platform::ProcessId process = 0;
  const int32_t startError =
      runner.Start(SplitCommandLine(commandLine), EnvironmentFromBlock(environment), &process);
  if (startError != 0) {
    if (startError == kStartFileNotFound) {
      LogShell("A required file or DLL cannot be found.");
    } else if (startError == kStartDllNotFound) {
      LogShell("A required DLL cannot be found.");
    } else {
      LogShell("Error loading Host Driver Err = " + std::to_string(startError) + ".");
    }
    return 0;
  }

  // No time-out: the driver may take as long as the host needs, and the connection with the
  // handheld is serviced on every pass.
  int32_t exitCode = kStillActive;
  for (;;) {
    SyncYieldCycles(kYieldCycles);
    velqor::platform::GetClock().SleepMs(kPollIntervalMs);
    const velqor::platform::PollResult state = runner.Poll(process, &exitCode);
    if (state == velqor::platform::PollResult::kExited) break;
    if (state == velqor::platform::PollResult::kFailed) {
      exitCode = kUnknownExitCode;  // the runner has reaped what it could; never wait forever
      break;
    }
  }
  if (exitCode == 0) return 1;
  LogShell("Host Communication Error = " + std::to_string(exitCode));
  return 0;
}

void ReportDriverErrors(const std::string& shortDirectory) {
  const std::string path = shortDirectory + "conderr.txt";
  // Opened without waiting and read only when it is a regular file: a pipe or device put there
  // must not hold up the run.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  std::string raw;
  char chunk[4096];
  while (raw.size() < kMaxErrorText) {
    const size_t want = std::min(sizeof(chunk), kMaxErrorText - raw.size());
    const ssize_t got = ::read(fd, chunk, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    raw.append(chunk, static_cast<size_t>(got));
  }
  ::close(fd);
  // Read as text: a CR LF pair is one line end.
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text.push_back(raw[i]);
  }
  if (text.empty()) return;
  LogShell(text);
}

int32_t RunDriverInstall(const std::string& driverPath, const std::string& shortDirectory,
                         const std::string& install, const std::string& environment) {
  const std::string line = CommandLine(driverPath, "install", shortDirectory, install, "dummy", 0);
  if (RunHostDriver(line, environment) == 0) {
    ReportDriverErrors(shortDirectory);
    return 0;
  }
  // Give the host side time to settle before it is asked for an extract.
  velqor::platform::GetClock().SleepMs(kInstallPauseMs);
  return 1;
}

int32_t RunDriverExtract(const std::string& driverPath, const std::string& shortDirectory,
                         const std::string& localFileName, const std::string& environment,
                         const std::string& userId, int32_t numDays) {
  const std::string line =
      CommandLine(driverPath, "extract", shortDirectory, localFileName, userId, numDays);
  if (RunHostDriver(line, environment) == 0) {
    ReportDriverErrors(shortDirectory);
    return 0;
  }
  return 1;
}

int32_t RunDriverUpdate(const std::string& driverPath, const std::string& shortDirectory,
                        const std::string& fileName, const std::string& environment,
                        const std::string& userId) {
  const std::string line = CommandLine(driverPath, "update", shortDirectory, fileName, userId, 0);
  if (RunHostDriver(line, environment) == 0) {
    ReportDriverErrors(shortDirectory);
    return 0;
  }
  return 1;
}

}  // namespace velqor::shell
