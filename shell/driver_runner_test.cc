#include "shell/driver_runner.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hotsync_log.h"
#include "platform/memory_handheld.h"
#include "platform/process.h"
#include "platform/sync_manager.h"
#include "platform/testing/test_support.h"
#include "shell/shell_test_support.h"

namespace velqor::shell {
namespace {

using velqor::platform::PollResult;
using velqor::platform::ProcessId;
using velqor::shell::testing::LogTexts;
using Words = std::vector<std::string>;

std::string Block(const char* bytes, size_t size) {
  return std::string(bytes, size);
}

TEST(DriverEnvironment, BlockHoldsPathAndTheDoubleNul) {
  EXPECT_EQ(BuildEnvironmentBlock("/opt/host/lib"), Block("PATH=/opt/host/lib;\0\0", 21));
  EXPECT_EQ(BuildEnvironmentBlock(""), Block("PATH=;\0\0", 8));
}

TEST(DriverEnvironment, BlocksBecomeThisPlatformsEnvironment) {
  struct Case {
    const char* name;
    std::string block;
    Words expected;
  };
  const std::vector<Case> cases = {
      {"one directory", Block("PATH=/opt/lib;\0\0", 16), {"PATH=/opt/lib"}},
      {"separators converted, empty entries dropped",
       Block("PATH=;/a;;/b c;\0\0", 18),
       {"PATH=/a:/b c"}},
      {"an empty list leaves no PATH at all", Block("PATH=;\0\0", 8), {}},
      {"no entries", Block("\0\0", 2), {}},
      {"empty block", "", {}},
      {"missing final NULs", "PATH=/x", {"PATH=/x"}},
      {"other entries pass unchanged", Block("PATH=/x;\0A=1;2\0\0", 16), {"PATH=/x", "A=1;2"}},
      {"nothing after the double NUL", Block("PATH=/x;\0\0B=2\0\0", 15), {"PATH=/x"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EnvironmentFromBlock(c.block), c.expected) << c.name;
  }
}

TEST(DriverCommandLine, SplitsOnBlanksWithTheFirstWordAsProgram) {
  struct Case {
    const char* line;
    Words expected;
  };
  const std::vector<Case> cases = {
      {"/opt/drv extract /home/u/ db.dat jdoe 30",
       {"/opt/drv", "extract", "/home/u/", "db.dat", "jdoe", "30"}},
      {"drv  update\t/d/   update.dat  u 0 ", {"drv", "update", "/d/", "update.dat", "u", "0"}},
      {"drv", {"drv"}},
      // An empty driver path leaves an empty program name, never "extract" as the program.
      {" extract /d/ f u 3", {"", "extract", "/d/", "f", "u", "3"}},
      {"", {""}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.expected) << '"' << c.line << '"';
  }
}

// A process runner that answers as told and remembers what it was asked to start.
class FakeRunner : public velqor::platform::ProcessRunner {
 public:
  int32_t Start(const Words& argv, const Words& env, ProcessId* process) override {
    argvs.push_back(argv);
    envs.push_back(env);
    polls = 0;
    if (startError != 0) return startError;
    *process = 4242;
    return 0;
  }
  PollResult Poll(ProcessId process, int32_t* exitCode) override {
    EXPECT_EQ(process, 4242);
    ++polls;
    if (onPoll) onPoll();
    if (polls <= runningPolls) return PollResult::kRunning;
    if (result == PollResult::kExited) *exitCode = exitCode_;
    return result;
  }

  int32_t startError = 0;
  int runningPolls = 0;
  PollResult result = PollResult::kExited;
  int32_t exitCode_ = 0;
  std::function<void()> onPoll;
  int polls = 0;
  std::vector<Words> argvs, envs;
};

class DriverRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    dir_ = scratch_.WithSlash();
    services_.emplace(&runner_, &log_, &clock_, &handheld_);
  }
  void TearDown() override { services_.reset(); }
  void WriteErrorFile(const std::string& bytes) {
    velqor::test_support::WriteFile(dir_ + "conderr.txt", bytes);
  }
  std::string Env() const { return BuildEnvironmentBlock("/opt/host/lib"); }

  velqor::test_support::ScratchDir scratch_;
  std::string dir_;
  FakeRunner runner_;
  velqor::platform::MemoryLog log_;
  velqor::platform::FixedClock clock_{868000000};
  velqor::platform::MemoryHandheld handheld_;
  std::optional<velqor::shell::testing::InstalledDriverServices> services_;
};

TEST_F(DriverRunnerTest, StepsFormTheirCommandLines) {
  ASSERT_EQ(RunDriverExtract("/opt/drv", "/home/u/", "db.dat", Env(), "jdoe", 30), 1);
  ASSERT_EQ(RunDriverExtract("/opt/drv", "/home/u/", "db.dat", Env(), "jdoe", -2), 1);
  ASSERT_EQ(RunDriverUpdate("/opt/drv", "/home/u/", "update.dat", Env(), "jdoe"), 1);
  ASSERT_EQ(RunDriverInstall("/opt/drv", "/home/u/", "setup.cfg", Env()), 1);
  const std::vector<Words> expected = {
      {"/opt/drv", "extract", "/home/u/", "db.dat", "jdoe", "30"},
      {"/opt/drv", "extract", "/home/u/", "db.dat", "jdoe", "-2"},
      {"/opt/drv", "update", "/home/u/", "update.dat", "jdoe", "0"},
      {"/opt/drv", "install", "/home/u/", "setup.cfg", "dummy", "0"},
  };
  EXPECT_EQ(runner_.argvs, expected);
  for (const Words& env : runner_.envs) EXPECT_EQ(env, Words{"PATH=/opt/host/lib"});
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(DriverRunnerTest, FailuresAreLoggedThenTheErrorFile) {
  struct Case {
    const char* name;
    int32_t startError;
    PollResult result;
    int32_t exitCode;
    Words log;
  };
  const std::vector<Case> cases = {
      {"missing program", 2, PollResult::kExited, 0, {"A required file or DLL cannot be found."}},
      {"missing library", 1157, PollResult::kExited, 0, {"A required DLL cannot be found."}},
      {"other start failure", 13, PollResult::kExited, 0, {"Error loading Host Driver Err = 13."}},
      {"exit code 1", 0, PollResult::kExited, 1, {"Host Communication Error = 1"}},
      {"exit code -1", 0, PollResult::kExited, -1, {"Host Communication Error = -1"}},
      {"exit code 255", 0, PollResult::kExited, 255, {"Host Communication Error = 255"}},
      {"exit code 259 is an ending, not a running driver",
       0,
       PollResult::kExited,
       259,
       {"Host Communication Error = 259"}},
      {"the wait failed", 0, PollResult::kFailed, 0, {"Host Communication Error = -1"}},
  };
  for (bool withErrorFile : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (withErrorFile ? " with error file" : ""));
      std::filesystem::remove(dir_ + "conderr.txt");
      if (withErrorFile) WriteErrorFile("host refused\r\nuser jdoe unknown\n");
      log_.Clear();
      runner_.startError = c.startError;
      runner_.result = c.result;
      runner_.exitCode_ = c.exitCode;
      runner_.runningPolls = 2;
      const uint64_t sleptBefore = clock_.slept_ms();
      EXPECT_EQ(RunDriverInstall("/opt/drv", dir_, "setup.cfg", Env()), 0);
      Words expected = c.log;
      if (withErrorFile) expected.push_back("host refused\nuser jdoe unknown\n");
      EXPECT_EQ(LogTexts(log_), expected);
      // A failed install does not pause.
      const uint64_t polls = c.startError == 0 ? 3 : 0;
      EXPECT_EQ(clock_.slept_ms() - sleptBefore, polls * 250);
    }
  }
}

TEST_F(DriverRunnerTest, SuccessfulInstallPausesFiveSecondsAfterTheDriverEnded) {
  runner_.runningPolls = 3;
  std::vector<uint64_t> sleptAtPoll;
  runner_.onPoll = [&] { sleptAtPoll.push_back(clock_.slept_ms()); };
  ASSERT_EQ(RunDriverInstall("/opt/drv", dir_, "setup.cfg", Env()), 1);
  EXPECT_EQ(sleptAtPoll, (std::vector<uint64_t>{250, 500, 750, 1000}));
  EXPECT_EQ(clock_.slept_ms(), 1000u + 5000u);
  EXPECT_EQ(clock_.sleep_calls(), 5u);

  // Extract and update do not pause.
  runner_.runningPolls = 0;
  ASSERT_EQ(RunDriverExtract("/opt/drv", dir_, "db.dat", Env(), "u", 1), 1);
  ASSERT_EQ(RunDriverUpdate("/opt/drv", dir_, "update.dat", Env(), "u"), 1);
  EXPECT_EQ(clock_.slept_ms(), 6000u + 500u);
}

TEST_F(DriverRunnerTest, ALongWaitYieldsToTheSyncManagerOnEveryPass) {
  runner_.runningPolls = 5000;  // about 21 minutes of driver time
  std::vector<std::pair<uint32_t, uint32_t>> mismatches;
  runner_.onPoll = [&] {
    // Before the k-th poll: k yields, then k pauses of 250 ms.
    const uint32_t k = static_cast<uint32_t>(runner_.polls);
    if (handheld_.yield_cycles() != k || clock_.sleep_calls() != k) {
      mismatches.emplace_back(handheld_.yield_cycles(), clock_.sleep_calls());
    }
  };
  ASSERT_EQ(RunDriverUpdate("/opt/drv", dir_, "update.dat", Env(), "u"), 1);
  EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " passes out of step";
  EXPECT_EQ(handheld_.yield_cycles(), 5001u);
  EXPECT_EQ(clock_.slept_ms(), 5001u * 250u);
}

TEST_F(DriverRunnerTest, ErrorFileTexts) {
  struct Case {
    const char* name;
    std::string bytes;
    Words log;
  };
  const std::string big(100 * 1024, 'e');
  const std::vector<Case> cases = {
      {"empty file logs nothing", "", {}},
      {"lines are one entry", "first\nsecond\nthird", {"first\nsecond\nthird"}},
      {"CR LF pairs read as LF", "a\r\nb\r\n", {"a\nb\n"}},
      {"a lone CR stays", "a\rb", {"a\rb"}},
      {"a huge file is cut", big, {big.substr(0, 64 * 1024)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    WriteErrorFile(c.bytes);
    ReportDriverErrors(dir_);
    EXPECT_EQ(LogTexts(log_), c.log);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "conderr.txt"));  // not deleted here
  }
  log_.Clear();
  std::filesystem::remove(dir_ + "conderr.txt");
  ReportDriverErrors(dir_);
  EXPECT_TRUE(log_.entries().empty());
}

// A pipe with no writer would block a plain open forever; a directory or pipe is no error text.
TEST_F(DriverRunnerTest, ErrorFileThatIsNoRegularFileIsNeitherWaitedOnNorRead) {
  const std::string path = dir_ + "conderr.txt";
  std::filesystem::remove(path);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  ReportDriverErrors(dir_);
  EXPECT_TRUE(log_.entries().empty());
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  ReportDriverErrors(dir_);
  EXPECT_TRUE(log_.entries().empty());
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace velqor::shell
