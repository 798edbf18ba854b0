// The real process runner: posix_spawn, never a shell.
//
// Start failure codes (what Start returns):
//   2   the program cannot be found: ENOENT (no such file, or a missing interpreter or loader)
//       and ENOTDIR (a part of its path is not a directory); also an empty program name
//   22  an empty argument vector (EINVAL)
//   any other start failure: the errno value itself, e.g. 13 (EACCES, not executable or not
//       searchable), 8 (ENOEXEC, not a program format the system runs), 12 (ENOMEM),
//       11 (EAGAIN, too many processes), 7 (E2BIG, arguments too long)
// Exit codes (what Poll reports):
//   a program that exits reports its exit status, 0 to 255 (exit(-1) shows as 255);
//   a program killed by a signal reports 128 plus the signal number (SIGKILL: 137, SIGSEGV:
//   139), as POSIX shells do.
// The child gets exactly the environment given, standard input from /dev/null, standard output
// and error of the conduit's process, no other open descriptor, an empty signal mask and
// default signal handling.
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>

namespace velqor::platform {

namespace {

constexpr int32_t kNotFound = 2;
constexpr int kSignalExitBase = 128;

int32_t StartErrorCode(int error) {
  if (error == ENOENT || error == ENOTDIR) return kNotFound;
  return static_cast<int32_t>(error);
}

// A host that ignores SIGCHLD (or asks for no zombies) has its children reaped by the kernel,
// and their exit codes are lost: waitpid answers ECHILD. While a driver of ours runs, the
// default disposition is put back, and the host's own is restored once the last one is reaped.
class ChildWaitGuard {
 public:
  // Before a start: from here on a child's exit is kept for waitpid.
  void Starting() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_++ > 0 || !children_.empty()) return;
    struct sigaction current {};
    if (sigaction(SIGCHLD, nullptr, &current) != 0) return;
    const bool reaped = current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
    if (!reaped) return;
    struct sigaction waitable = current;
    if (waitable.sa_handler == SIG_IGN) waitable.sa_handler = SIG_DFL;
    waitable.sa_flags &= ~SA_NOCLDWAIT;
    if (sigaction(SIGCHLD, &waitable, nullptr) == 0) {
      saved_ = current;
      restore_ = true;
    }
  }
  // After the start: pid is the child, or 0 when none was started.
  void Started(pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    --pending_;
    if (pid > 0) children_.insert(pid);
    RestoreIfIdle();
  }
  // The child was reaped (or cannot be waited for).
  void Gone(pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (children_.erase(pid) != 0) RestoreIfIdle();
  }

 private:
  void RestoreIfIdle() {
    if (pending_ > 0 || !children_.empty() || !restore_) return;
    sigaction(SIGCHLD, &saved_, nullptr);
    restore_ = false;
  }
  std::mutex mutex_;
  int pending_ = 0;
  std::set<pid_t> children_;
  bool restore_ = false;
  struct sigaction saved_ {};
};

ChildWaitGuard& ChildWaits() {
  static ChildWaitGuard guard;
  return guard;
}

class PosixProcessRunner : public ProcessRunner {
 public:
  int32_t Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                ProcessId* process) override {
    if (argv.empty() || process == nullptr) return EINVAL;
    if (argv[0].empty()) return kNotFound;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> environment;
    environment.reserve(env.size() + 1);
    for (const std::string& e : env) environment.push_back(const_cast<char*>(e.c_str()));
    environment.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return ENOMEM;
    }
    int error = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // Descriptors 3 and up are the conduit's own (open files, sockets of the host program);
    // the driver has no business with them.
    if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &noSignals);
    if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &allSignals);
    if (error == 0) {
      error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    pid_t pid = 0;
    if (error == 0) {
      ChildWaits().Starting();
      error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environment.data());
      ChildWaits().Started(error == 0 ? pid : 0);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return StartErrorCode(error);
    *process = static_cast<ProcessId>(pid);
    return 0;
  }

  PollResult Poll(ProcessId process, int32_t* exitCode) override {
    if (process <= 0) return PollResult::kFailed;
    const pid_t pid = static_cast<pid_t>(process);
    int status = 0;
    pid_t waited = 0;
    do {
      waited = waitpid(pid, &status, WNOHANG);
    } while (waited < 0 && errno == EINTR);
    if (waited == 0) {
      // Still running. A caller whose clock does not really pause would otherwise spin a whole
      // processor until the child ends; a millisecond of real time per poll costs nothing
      // beside the real 250 ms pause between polls.
      timespec pause{0, 1000000L};
      nanosleep(&pause, nullptr);
      return PollResult::kRunning;
    }
    if (waited < 0) {
      // ECHILD: not a child of ours, or already reaped elsewhere; nothing is left to wait for.
      ChildWaits().Gone(pid);
      return PollResult::kFailed;
    }
    ChildWaits().Gone(pid);
    if (WIFEXITED(status)) {
      if (exitCode != nullptr) *exitCode = WEXITSTATUS(status);
      return PollResult::kExited;
    }
    if (WIFSIGNALED(status)) {
      if (exitCode != nullptr) *exitCode = kSignalExitBase + WTERMSIG(status);
      return PollResult::kExited;
    }
    return PollResult::kFailed;  // not reached without WUNTRACED or WCONTINUED
  }
};

PosixProcessRunner& RealRunner() {
  static PosixProcessRunner runner;
  return runner;
}

std::atomic<ProcessRunner*> g_runner{nullptr};

}  // namespace

ProcessRunner& GetProcessRunner() {
  ProcessRunner* installed = g_runner.load();
  return installed != nullptr ? *installed : RealRunner();
}

void SetProcessRunner(ProcessRunner* runner) {
  g_runner.store(runner);
}

}  // namespace velqor::platform
