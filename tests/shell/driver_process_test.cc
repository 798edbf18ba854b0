// The host driver runner with real driver processes: the stand-in driver records what it got.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hotsync_log.h"
#include "platform/memory_handheld.h"
#include "platform/process.h"
#include "platform/sync_manager.h"
#include "platform/testing/test_support.h"
#include "shell/driver_runner.h"
#include "shell/shell_test_support.h"
#include "tests/shell/fake_driver_calls.h"

namespace velqor::shell {
namespace {

using velqor::platform::PollResult;
using velqor::platform::ProcessId;
using velqor::shell::testing::LogTexts;
using velqor::shell::testing::ReadDriverCalls;
using velqor::shell::testing::Words;
using velqor::test_support::ScratchDir;
using velqor::test_support::WriteFile;

const std::string kDriver = VQ_FAKE_DRIVER;

// The real runner, checking on every poll that the wait yielded and paused once per pass.
class PassCheckingRunner : public velqor::platform::ProcessRunner {
 public:
  PassCheckingRunner(velqor::platform::ProcessRunner* real,
                     velqor::platform::MemoryHandheld* handheld,
                     velqor::platform::FixedClock* clock)
      : real_(real), handheld_(handheld), clock_(clock) {}
  int32_t Start(const Words& argv, const Words& env, ProcessId* process) override {
    yieldsAtStart_ = handheld_->yield_cycles();
    sleepsAtStart_ = clock_->sleep_calls();
    polls = 0;
    return real_->Start(argv, env, process);
  }
  PollResult Poll(ProcessId process, int32_t* exitCode) override {
    ++polls;
    if (handheld_->yield_cycles() - yieldsAtStart_ != polls ||
        clock_->sleep_calls() - sleepsAtStart_ != polls) {
      ++outOfStep;
    }
    return real_->Poll(process, exitCode);
  }
  uint32_t polls = 0;
  int outOfStep = 0;

 private:
  velqor::platform::ProcessRunner* real_;
  velqor::platform::MemoryHandheld* handheld_;
  velqor::platform::FixedClock* clock_;
  uint32_t yieldsAtStart_ = 0, sleepsAtStart_ = 0;
};

class DriverProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    velqor::platform::SetProcessRunner(nullptr);
    runner_ = std::make_unique<PassCheckingRunner>(&velqor::platform::GetProcessRunner(),
                                                   &handheld_, &clock_);
    services_.emplace(runner_.get(), &log_, &clock_, &handheld_);
  }
  void TearDown() override {
    services_.reset();
    EXPECT_EQ(runner_->outOfStep, 0);
  }
  void Control(const std::string& lines) { WriteFile(dir_ / "fake_driver.ctl", lines); }
  std::string Env() const { return BuildEnvironmentBlock("/opt/host lib;;/usr/local/hll"); }

  ScratchDir dir_;
  velqor::platform::MemoryLog log_;
  velqor::platform::FixedClock clock_{868000000};
  velqor::platform::MemoryHandheld handheld_;
  std::unique_ptr<PassCheckingRunner> runner_;
  std::optional<velqor::shell::testing::InstalledDriverServices> services_;
};

TEST_F(DriverProcessTest, TheDriverGetsExactlyItsArgumentsEnvironmentAndDescriptors) {
  // A descriptor of the conduit's that a careless start would hand on.
  const int opened = open(dir_.WithSlash().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(opened, 0);
  const int leaked = fcntl(opened, F_DUPFD, 100);
  close(opened);
  setenv("VQ_CONDUIT_ONLY", "secret", 1);
  // Standard input that is not /dev/null, so that the driver's shows where it came from.
  int typed[2];
  ASSERT_EQ(pipe(typed), 0);
  const int savedInput = dup(0);
  dup2(typed[0], 0);
  close(typed[0]);

  ASSERT_EQ(RunDriverInstall(kDriver, dir_.WithSlash(), "setup.ini", Env()), 1);
  ASSERT_EQ(RunDriverExtract(kDriver, dir_.WithSlash(), "datebook.dat", Env(), "jdoe", 21), 1);
  ASSERT_EQ(RunDriverUpdate(kDriver, dir_.WithSlash(), "update.dat", Env(), "jdoe"), 1);
  close(leaked);
  unsetenv("VQ_CONDUIT_ONLY");
  dup2(savedInput, 0);
  close(savedInput);
  close(typed[1]);

  const auto calls = ReadDriverCalls(dir_.WithSlash());
  ASSERT_EQ(calls.size(), 3u);
  const std::vector<Words> argvs = {
      {kDriver, "install", dir_.WithSlash(), "setup.ini", "dummy", "0"},
      {kDriver, "extract", dir_.WithSlash(), "datebook.dat", "jdoe", "21"},
      {kDriver, "update", dir_.WithSlash(), "update.dat", "jdoe", "0"},
  };
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].argv, argvs[i]);
    EXPECT_EQ(calls[i].env, Words{"PATH=/opt/host lib:/usr/local/hll"});
    EXPECT_EQ(calls[i].fds, "0 1 2");
    EXPECT_EQ(calls[i].input, "devnull");
  }
  EXPECT_TRUE(log_.entries().empty());
  // Every pause was a 250 ms pass but one: the install's 5 seconds.
  EXPECT_EQ(clock_.slept_ms(), (clock_.sleep_calls() - 1) * 250ull + 5000);
}

TEST_F(DriverProcessTest, ExitCodesAndErrorFiles) {
  WriteFile(dir_ / "two_lines.txt", "host calendar locked\r\nby user jdoe\r\n");
  WriteFile(dir_ / "empty.txt", "");
  struct Case {
    const char* name;
    std::string control;
    int32_t result;
    Words log;
  };
  const std::vector<Case> cases = {
      {"success", "", 1, {}},
      {"exit 1", "* exit 1\n", 0, {"Host Communication Error = 1"}},
      {"exit -1 shows as 255", "* exit -1\n", 0, {"Host Communication Error = 255"}},
      {"killed", "* signal 9\n", 0, {"Host Communication Error = 137"}},
      {"crashed", "* signal 11\n", 0, {"Host Communication Error = 139"}},
      {"error file of two lines is one entry",
       "* error two_lines.txt\n* exit 3\n",
       0,
       {"Host Communication Error = 3", "host calendar locked\nby user jdoe\n"}},
      {"empty error file", "* error empty.txt\n* exit 4\n", 0, {"Host Communication Error = 4"}},
      {"an error file after success is not read", "* error two_lines.txt\n", 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((dir_ / "conderr.txt").c_str());
    Control(c.control);
    log_.Clear();
    EXPECT_EQ(RunDriverExtract(kDriver, dir_.WithSlash(), "datebook.dat", Env(), "jdoe", 7),
              c.result);
    EXPECT_EQ(LogTexts(log_), c.log);
  }
}

TEST_F(DriverProcessTest, ProgramsThatCannotStart) {
  const std::string notExecutable = dir_ / "driver.txt";
  WriteFile(notExecutable, "#!/nonexistent/interpreter\n");
  const std::string noInterpreter = dir_ / "driver.sh";
  WriteFile(noInterpreter, "#!/nonexistent/interpreter\n");
  chmod(noInterpreter.c_str(), 0755);
  // An error file an earlier run left behind.
  WriteFile(dir_ / "conderr.txt", "earlier failure");
  struct Case {
    std::string driver;
    Words log;
  };
  const std::vector<Case> cases = {
      {dir_ / "no_such_driver", {"A required file or DLL cannot be found.", "earlier failure"}},
      {noInterpreter, {"A required file or DLL cannot be found.", "earlier failure"}},
      {"", {"A required file or DLL cannot be found.", "earlier failure"}},
      {notExecutable, {"Error loading Host Driver Err = 13.", "earlier failure"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver);
    log_.Clear();
    const uint64_t slept = clock_.slept_ms();
    EXPECT_EQ(RunDriverInstall(c.driver, dir_.WithSlash(), "setup.ini", Env()), 0);
    EXPECT_EQ(LogTexts(log_), c.log);
    EXPECT_EQ(clock_.slept_ms(), slept);  // no wait, no pause
  }
  EXPECT_TRUE(ReadDriverCalls(dir_.WithSlash()).empty());
}

TEST_F(DriverProcessTest, ALongRunningDriverIsWaitedForPassByPass) {
  Control("update sleep 700\n");
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(RunDriverUpdate(kDriver, dir_.WithSlash(), "update.dat", Env(), "jdoe"), 1);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::milliseconds(700));
  // With the pinned clock a pass takes about a millisecond of real time.
  EXPECT_GT(runner_->polls, 20u);
  EXPECT_EQ(handheld_.yield_cycles(), runner_->polls);
  EXPECT_EQ(clock_.slept_ms(), uint64_t{runner_->polls} * 250);
}

TEST_F(DriverProcessTest, InstallPausesOnlyAfterSuccess) {
  ASSERT_EQ(RunDriverInstall(kDriver, dir_.WithSlash(), "setup.ini", Env()), 1);
  EXPECT_EQ(clock_.slept_ms(), uint64_t{runner_->polls} * 250 + 5000);
  const uint64_t before = clock_.slept_ms();
  Control("install exit 2\n");
  ASSERT_EQ(RunDriverInstall(kDriver, dir_.WithSlash(), "setup.ini", Env()), 0);
  EXPECT_EQ(clock_.slept_ms() - before, uint64_t{runner_->polls} * 250);
  EXPECT_EQ(LogTexts(log_), Words{"Host Communication Error = 2"});
}

}  // namespace
}  // namespace velqor::shell
