// Starting a program and waiting for it, for the host driver steps. The program is started
// directly (never through a shell) with an explicit argument vector and environment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velqor::platform {

using ProcessId = int64_t;

enum class PollResult { kRunning, kExited, kFailed };

class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;
  // Starts argv[0] with the arguments and exactly the environment given. Returns 0 and the
  // process, or the start failure code (2 for a program that does not exist).
  virtual int32_t Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        ProcessId* process) = 0;
  // Looks whether the process ended, without blocking; on kExited the exit code is set.
  virtual PollResult Poll(ProcessId process, int32_t* exitCode) = 0;
};

ProcessRunner& GetProcessRunner();
void SetProcessRunner(ProcessRunner* runner);  // not owned; null restores the real one

}  // namespace velqor::platform
