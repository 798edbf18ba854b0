#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"

namespace velqor::platform {
namespace {

using Words = std::vector<std::string>;

// Waits (really) for the process; kFailed after ten seconds.
PollResult WaitFor(ProcessId process, int32_t* exitCode) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const PollResult state = GetProcessRunner().Poll(process, exitCode);
    if (state != PollResult::kRunning) return state;
  }
  return PollResult::kFailed;
}

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    dir_ = scratch_.path() + "/";
  }

  // Runs the program to its end with this process's standard output (and, when `input` is
  // given, standard input) replaced for the start, so the child inherits them if it inherits
  // anything. Returns the exit code, or -1000 when it did not start or end.
  int32_t RunCapturing(const Words& argv, const Words& env, std::string* output,
                       const char* input = nullptr) {
    const std::string outPath = dir_ + "out.txt";
    std::fflush(stdout);
    const int savedOut = dup(1);
    const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(outFd, 1);
    close(outFd);
    int savedIn = -1;
    if (input != nullptr) {
      int fds[2];
      if (pipe(fds) == 0) {
        (void)!write(fds[1], input, std::char_traits<char>::length(input));
        close(fds[1]);
        savedIn = dup(0);
        dup2(fds[0], 0);
        close(fds[0]);
      }
    }
    ProcessId process = 0;
    const int32_t started = GetProcessRunner().Start(argv, env, &process);
    dup2(savedOut, 1);
    close(savedOut);
    if (savedIn >= 0) {
      dup2(savedIn, 0);
      close(savedIn);
    }
    if (started != 0) return -1000;
    int32_t code = -1000;
    if (WaitFor(process, &code) != PollResult::kExited) return -1000;
    *output = velqor::test_support::ReadFile(outPath);
    return code;
  }

  velqor::test_support::ScratchDir scratch_;
  std::string dir_;
};

TEST_F(ProcessTest, ExitCodesArrive) {
  const std::vector<std::pair<Words, int32_t>> cases = {{{"/bin/true"}, 0}, {{"/bin/false"}, 1}};
  for (const auto& [argv, expected] : cases) {
    ProcessId process = 0;
    ASSERT_EQ(GetProcessRunner().Start(argv, {}, &process), 0) << argv[0];
    int32_t code = -5;
    ASSERT_EQ(WaitFor(process, &code), PollResult::kExited);
    EXPECT_EQ(code, expected) << argv[0];
    // Reaped: the process is no longer there to wait for.
    EXPECT_EQ(GetProcessRunner().Poll(process, &code), PollResult::kFailed);
  }
}

TEST_F(ProcessTest, StartFailuresMapToCodes) {
  const std::string text = dir_ + "notes.txt";
  velqor::test_support::WriteFile(text, "not a program\n");
  const std::string junk = dir_ + "junk";
  velqor::test_support::WriteFile(junk, "\x01\x02\x03 not a program format\n");
  chmod(junk.c_str(), 0755);

  struct Case {
    Words argv;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {{"/nonexistent/hostdrv", "extract"}, 2},
      {{dir_ + "missing"}, 2},
      {{text + "/inside"}, 2},  // a file used as a directory
      {{""}, 2},
      {{}, 22},
      {{text}, 13},  // not executable
      {{dir_}, 13},  // a directory
      {{junk}, 8},   // executable bits, but no program; never handed to a shell
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.empty() ? "<no argv>" : c.argv[0]);
    ProcessId process = -7;
    EXPECT_EQ(GetProcessRunner().Start(c.argv, {"PATH=/bin"}, &process), c.code);
    EXPECT_EQ(process, -7);
  }
}

TEST_F(ProcessTest, ASignalReportsOneHundredTwentyEightPlusItsNumber) {
  for (int signal : {SIGKILL, SIGTERM, SIGSEGV}) {
    ProcessId process = 0;
    ASSERT_EQ(GetProcessRunner().Start({"/bin/sleep", "30"}, {}, &process), 0);
    int32_t code = -5;
    EXPECT_EQ(GetProcessRunner().Poll(process, &code), PollResult::kRunning);
    EXPECT_EQ(code, -5);
    ASSERT_EQ(kill(static_cast<pid_t>(process), signal), 0);
    ASSERT_EQ(WaitFor(process, &code), PollResult::kExited);
    EXPECT_EQ(code, 128 + signal);
  }
}

// A host that ignores SIGCHLD, or asks for no zombies, still learns its driver's exit code;
// its own disposition is back once the driver is reaped.
TEST_F(ProcessTest, ExitCodesArriveWhenTheHostIgnoresChildSignals) {
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGCHLD, nullptr, &before), 0);
  struct Case {
    const char* name;
    void (*handler)(int);
    int flags;
  };
  const std::vector<Case> cases = {{"SIG_IGN", SIG_IGN, 0},
                                   {"SA_NOCLDWAIT", SIG_DFL, SA_NOCLDWAIT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    struct sigaction host {};
    host.sa_handler = c.handler;
    host.sa_flags = c.flags;
    sigemptyset(&host.sa_mask);
    ASSERT_EQ(sigaction(SIGCHLD, &host, nullptr), 0);
    for (const auto& [argv, expected] :
         std::vector<std::pair<Words, int32_t>>{{{"/bin/true"}, 0}, {{"/bin/false"}, 1}}) {
      ProcessId process = 0;
      ASSERT_EQ(GetProcessRunner().Start(argv, {}, &process), 0);
      int32_t code = -5;
      EXPECT_EQ(WaitFor(process, &code), PollResult::kExited) << argv[0];
      EXPECT_EQ(code, expected) << argv[0];
    }
    struct sigaction after {};
    ASSERT_EQ(sigaction(SIGCHLD, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, c.handler);
    EXPECT_EQ(after.sa_flags & SA_NOCLDWAIT, c.flags);
  }
  ASSERT_EQ(sigaction(SIGCHLD, &before, nullptr), 0);
}

TEST_F(ProcessTest, PollingWhatIsNoChildFails) {
  int32_t code = 0;
  EXPECT_EQ(GetProcessRunner().Poll(1, &code), PollResult::kFailed);
  EXPECT_EQ(GetProcessRunner().Poll(0, &code), PollResult::kFailed);
  EXPECT_EQ(GetProcessRunner().Poll(-1, &code), PollResult::kFailed);
}

TEST_F(ProcessTest, TheEnvironmentIsExactlyTheOneGiven) {
  setenv("VQ_PARENT_ONLY", "leak", 1);
  const std::vector<Words> envs = {{"PATH=/opt/host/lib"}, {"PATH=/a:/b", "X=1"}, {}};
  for (const Words& env : envs) {
    std::string output;
    ASSERT_EQ(RunCapturing({"/usr/bin/env"}, env, &output), 0);
    std::string expected;
    for (const std::string& e : env) expected += e + "\n";
    EXPECT_EQ(output, expected);
  }
  unsetenv("VQ_PARENT_ONLY");
}

TEST_F(ProcessTest, ArgumentsArePassedAsTheyAreWithoutAShell) {
  std::string output;
  ASSERT_EQ(RunCapturing({"/usr/bin/env", "-0"}, {"A=$HOME;*", "B=`x` | y"}, &output), 0);
  EXPECT_EQ(output, std::string("A=$HOME;*\0B=`x` | y\0", 20));
}

TEST_F(ProcessTest, OnlyTheStandardDescriptorsAreInheritedWithInputFromDevNull) {
  // An open descriptor of this process that would be inherited by a plain fork and exec.
  // A descriptor number no program opens on its own, so only inheritance can fill it.
  const int opened = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(opened, 3);
  const int leaked = fcntl(opened, F_DUPFD, 100);  // F_DUPFD leaves close-on-exec off
  close(opened);
  ASSERT_GE(leaked, 100);
  std::string output;
  const std::string fdPath = "/proc/self/fd/" + std::to_string(leaked);
  EXPECT_EQ(RunCapturing({"/usr/bin/readlink", fdPath}, {}, &output), 1) << output;
  // The check can see an inherited descriptor: standard error is one.
  EXPECT_EQ(RunCapturing({"/usr/bin/readlink", "/proc/self/fd/2"}, {}, &output), 0);
  EXPECT_FALSE(output.empty());
  close(leaked);

  // Standard input is /dev/null even when this process reads from a pipe.
  ASSERT_EQ(RunCapturing({"/usr/bin/readlink", "/proc/self/fd/0"}, {}, &output, "typed ahead"), 0);
  EXPECT_EQ(output, "/dev/null\n");
}

TEST_F(ProcessTest, AnInstalledRunnerReplacesTheRealOneUntilReset) {
  class Refusing : public ProcessRunner {
   public:
    int32_t Start(const Words&, const Words&, ProcessId*) override { return 1157; }
    PollResult Poll(ProcessId, int32_t*) override { return PollResult::kFailed; }
  } refusing;
  SetProcessRunner(&refusing);
  ProcessId process = 0;
  EXPECT_EQ(GetProcessRunner().Start({"/bin/true"}, {}, &process), 1157);
  SetProcessRunner(nullptr);
  EXPECT_EQ(GetProcessRunner().Start({"/bin/true"}, {}, &process), 0);
  int32_t code = -1;
  EXPECT_EQ(WaitFor(process, &code), PollResult::kExited);
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace velqor::platform
