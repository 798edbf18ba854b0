#include "shell/conduit.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/action_dialog.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/hotsync_log.h"
#include "platform/settings.h"
#include "platform/testing/test_support.h"
#include "resources/conduit_strings.h"
#include "shell/monitor_factory.h"
#include "shell/shell_test_support.h"

namespace velqor::shell {
namespace {

using velqor::platform::MemoryLog;
using velqor::platform::MemorySettingsStore;
using velqor::shell::testing::CopyField;
using velqor::shell::testing::FakeRunner;
using velqor::shell::testing::LogTexts;
using velqor::shell::testing::RecordingStore;
using velqor::shell::testing::Words;
using velqor::test_support::ReadFileIfAny;
using velqor::test_support::ScopedStringTable;
using velqor::test_support::ScopedTimeZone;
using velqor::test_support::ScratchDir;
using velqor::test_support::WriteFile;

constexpr char kKey[] = "Conduits\\DateBook";
constexpr char kFailed[] = "Datebook Synchronization Failed";
constexpr int32_t kMidsummer = 866347265;  // 1997-06-15 00:01:05 in New York

// What the test monitor saw, kept outside it so that it survives the monitor.
struct MonitorRecord {
  int created = 0;
  int destroyed = 0;
  void* caller = nullptr;
  ConduitProperties properties{};
  velqor::platform::ModuleHandle module = 0;
  std::vector<std::pair<int32_t, int32_t>> windows;
  int startSyncs = 0;
  size_t logEntriesAtDestruction = 0;
  bool windowSetBeforeStart = false;
  std::function<int32_t()> onStartSync;  // plays the synchronization
};

class TestMonitor : public ShellMonitor {
 public:
  TestMonitor(MonitorRecord* record, const MemoryLog* log) : record_(record), log_(log) {}
  ~TestMonitor() override {
    ++record_->destroyed;
    record_->logEntriesAtDestruction = log_->entries().size();
  }
  void SetWindow(int32_t start, int32_t end) override { record_->windows.emplace_back(start, end); }
  int32_t StartSync() override {
    ++record_->startSyncs;
    record_->windowSetBeforeStart = !record_->windows.empty();
    return record_->onStartSync ? record_->onStartSync() : 0;
  }

 private:
  MonitorRecord* record_;
  const MemoryLog* log_;
};

class RunFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    velqor::platform::SetClock(&clock_);
    velqor::platform::SetHotSyncLog(&log_);
    velqor::platform::SetProcessRunner(&runner_);
    velqor::platform::SetFileSystem(&files_);
    root_ = velqor::platform::RegisterSettingsRoot(&recording_);
    store_.CreateKey(kKey);
    store_.SetNumber(kKey, "UserMode", 0);
    store_.SetNumber(kKey, "FlushBackup", 0);
    store_.SetText(kKey, "UserID", "");
    store_.SetText(kKey, "DriverPath", "/opt/host/hostdrv");
    store_.SetText(kKey, "HLLPath", "/opt/host/lib\\");
    store_.SetNumber(kKey, "NumDays", 30);
    store_.SetText(kKey, "Install", "");

    CopyField(props_.directory, dir_.WithSlash());
    CopyField(props_.localFileName, "datebook.dat");
    CopyField(props_.userName, "jdoe");
    CopyField(props_.settingsKeyPath, kKey);
    props_.settingsRootKey = root_;

    StoreModuleHandle(77);
    SetMonitorFactory(
        [this](void* caller, const ConduitProperties& p, velqor::platform::ModuleHandle module) {
          ++monitor_.created;
          monitor_.caller = caller;
          monitor_.properties = p;
          monitor_.module = module;
          return std::make_unique<TestMonitor>(&monitor_, &log_);
        });
    // The driver as the run expects it: extract writes the desktop data file.
    runner_.onStart = [this](const Words& argv) {
      if (argv.size() > 3 && argv[1] == "extract") {
        errorFileAtExtract_ = ReadFileIfAny(dir_ / "conderr.txt").has_value();
        WriteFile(dir_ / argv[3], "extracted records");
      }
      if (argv.size() > 3 && argv[1] == "update") {
        delivered_.push_back(ReadFileIfAny(dir_ / argv[3]).value_or("<missing>"));
      }
      return 0;
    };
    monitor_.onStartSync = [this] {
      WriteFile(dir_ / "datebook.dat", "synchronized records");
      return 0;
    };
  }
  void TearDown() override {
    SetMonitorFactory(nullptr);
    StoreModuleHandle(0);
    velqor::platform::UnregisterSettingsRoot(root_);
    velqor::platform::SetFileSystem(nullptr);
    velqor::platform::SetProcessRunner(nullptr);
    velqor::platform::SetHotSyncLog(nullptr);
    velqor::platform::SetClock(nullptr);
  }
  int32_t Run() { return OpenConduit(&caller_, props_); }
  bool Exists(const std::string& name) const { return ReadFileIfAny(dir_ / name).has_value(); }

  ScopedTimeZone zone_{"America/New_York"};
  ScratchDir dir_;
  int caller_ = 0;
  velqor::platform::FixedClock clock_{kMidsummer};
  MemoryLog log_;
  FakeRunner runner_;
  velqor::platform::LocalFileSystem local_;
  velqor::platform::FaultyFileSystem files_{&local_};
  MemorySettingsStore store_;
  RecordingStore recording_{&store_};
  HKEY root_ = 0;
  ConduitProperties props_{};
  MonitorRecord monitor_;
  bool errorFileAtExtract_ = true;
  Words delivered_;
};

TEST_F(RunFlowTest, NullCallerTouchesNothing) {
  WriteFile(dir_ / "update.dat", "left over");
  EXPECT_EQ(OpenConduit(nullptr, props_), 0);
  EXPECT_TRUE(recording_.gets.empty());
  EXPECT_TRUE(files_.calls().empty());
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_TRUE(runner_.argvs.empty());
  EXPECT_EQ(monitor_.created, 0);
}

TEST_F(RunFlowTest, ASynchronizationExtractsRunsTheMonitorAndHandsTheResultOver) {
  WriteFile(dir_ / "conderr.txt", "stale error");
  WriteFile(dir_ / "extract.dat", "old extract");
  ASSERT_EQ(Run(), 0);
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_EQ(runner_.argvs,
            (std::vector<Words>{
                {"/opt/host/hostdrv", "extract", dir_.WithSlash(), "datebook.dat", "jdoe", "30"},
                {"/opt/host/hostdrv", "update", dir_.WithSlash(), "update.dat", "jdoe", "0"},
            }));
  // The trailing backslash of the library directory is gone; PATH is all the driver gets.
  for (const Words& env : runner_.envs) EXPECT_EQ(env, Words{"PATH=/opt/host/lib"});
  EXPECT_FALSE(errorFileAtExtract_);  // the old error file was deleted before the extract
  EXPECT_EQ(ReadFileIfAny(dir_ / "extract.dat"), "extracted records");
  EXPECT_EQ(delivered_, Words{"synchronized records"});
  EXPECT_FALSE(Exists("update.dat"));
  EXPECT_FALSE(Exists("datebook.dat"));  // moved to the update file

  ASSERT_EQ(monitor_.created, 1);
  EXPECT_EQ(monitor_.destroyed, 1);
  EXPECT_EQ(monitor_.caller, &caller_);
  EXPECT_EQ(std::memcmp(&monitor_.properties, &props_, sizeof(props_)), 0);
  EXPECT_EQ(monitor_.module, 77u);
  EXPECT_EQ(monitor_.startSyncs, 1);
  EXPECT_TRUE(monitor_.windowSetBeforeStart);
  // 00:01:05 local: the window starts 65 seconds ago and ends 30 local midnights later.
  EXPECT_EQ(
      monitor_.windows,
      (std::vector<std::pair<int32_t, int32_t>>{{kMidsummer - 65, kMidsummer - 65 + 30 * 86400}}));
}

TEST_F(RunFlowTest, TheMonitorsStatusDecidesTheRun) {
  // The statuses a monitor's StartSync gives for each sync type.
  struct Case {
    int32_t syncType;
    int32_t status;
  };
  const std::vector<Case> cases = {{0, 0},  {1, 0},    {2, 0},  {3, 0},     {4, -1},
                                   {5, -1}, {6, 4114}, {7, -1}, {-1, 4114}, {INT32_MIN, 4114}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.syncType);
    props_.syncType = c.syncType;
    monitor_ = MonitorRecord();
    monitor_.onStartSync = [this, c] {
      EXPECT_EQ(monitor_.properties.syncType, c.syncType);
      WriteFile(dir_ / "datebook.dat", "synchronized records");
      return c.status;
    };
    runner_.argvs.clear();
    log_.Clear();
    EXPECT_EQ(Run(), c.status);
    ASSERT_EQ(monitor_.destroyed, 1);
    if (c.status == 0) {
      EXPECT_EQ(runner_.Steps(), (Words{"extract", "update"}));
      EXPECT_TRUE(log_.entries().empty());
    } else {
      // The extract still ran; nothing reached the host; the monitor went before the line.
      EXPECT_EQ(runner_.Steps(), Words{"extract"});
      EXPECT_EQ(LogTexts(log_), Words{kFailed});
      EXPECT_EQ(monitor_.logEntriesAtDestruction, 0u);
      EXPECT_FALSE(Exists("update.dat"));
      EXPECT_TRUE(Exists("datebook.dat"));
    }
  }
}

TEST_F(RunFlowTest, FlushBackupDeletesTheOneBackupFileAndClearsTheRequest) {
  struct Case {
    const char* localName;
    bool backupPresent;
    const char* backup;
    const char* untouched;  // the name the other rule would have given
  };
  const std::vector<Case> cases = {
      {"datebook.dat", true, "datebook.bak", nullptr},
      {"datebook.dat", false, "datebook.bak", nullptr},
      {"cal.db", true, "cal.bak", "calbak"},
      {"dbook", true, "dbook.bak", "dbbak"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.localName);
    CopyField(props_.localFileName, c.localName);
    store_.SetNumber(kKey, "FlushBackup", 1);
    if (c.backupPresent) WriteFile(dir_ / c.backup, "backup");
    if (c.untouched != nullptr) WriteFile(dir_ / c.untouched, "other");
    monitor_.onStartSync = [this, &c] {
      EXPECT_FALSE(Exists(c.backup));  // gone before the monitor runs
      return 0;
    };
    log_.Clear();
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(log_.entries().empty());
    EXPECT_FALSE(Exists(c.backup));
    if (c.untouched != nullptr) {
      EXPECT_TRUE(Exists(c.untouched));
    }
    EXPECT_EQ(store_.Get(kKey, "FlushBackup")->data, std::vector<uint8_t>(4, 0));
  }
}

TEST_F(RunFlowTest, ARefusedFlushBackupResetFailsTheRun) {
  store_.SetNumber(kKey, "FlushBackup", 1);
  store_.RefuseWrites("FlushBackup");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_),
            (Words{"Unable to reset FlushBackup key in registry. Date Book", kFailed}));
  EXPECT_TRUE(runner_.argvs.empty());
  EXPECT_EQ(monitor_.created, 0);
}

TEST_F(RunFlowTest, InstallRunsFirstPausesAndIsCleared) {
  store_.SetText(kKey, "Install", "hostsetup.ini");
  std::vector<uint64_t> sleptAtStart;
  auto driver = runner_.onStart;
  runner_.onStart = [&](const Words& argv) {
    sleptAtStart.push_back(clock_.slept_ms());
    return driver(argv);
  };
  ASSERT_EQ(Run(), 0);
  EXPECT_TRUE(log_.entries().empty());
  ASSERT_EQ(runner_.argvs.size(), 3u);
  EXPECT_EQ(runner_.argvs[0], (Words{"/opt/host/hostdrv", "install", dir_.WithSlash(),
                                     "hostsetup.ini", "dummy", "0"}));
  EXPECT_EQ(runner_.Steps(), (Words{"install", "extract", "update"}));
  // One 250 ms pass for the install, then the 5-second pause before the extract.
  EXPECT_EQ(sleptAtStart[1] - sleptAtStart[0], 250u + 5000u);
  const auto install = store_.Get(kKey, "Install");
  ASSERT_TRUE(install.has_value());
  EXPECT_TRUE(install->data.empty());
}

TEST_F(RunFlowTest, InstallFailuresStopTheRun) {
  store_.SetText(kKey, "Install", "hostsetup.ini");
  WriteFile(dir_ / "conderr.txt", "cannot prepare host");
  runner_.onStart = [](const Words&) { return 3; };
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_),
            (Words{"Host Communication Error = 3", "cannot prepare host", kFailed}));
  EXPECT_EQ(runner_.Steps(), Words{"install"});
  EXPECT_EQ(store_.Get(kKey, "Install")->data.size(), 14u);  // still requested
  EXPECT_EQ(monitor_.created, 0);

  // The install worked but its request cannot be cleared.
  runner_.onStart = nullptr;
  runner_.argvs.clear();
  log_.Clear();
  store_.RefuseWrites("Install");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_), (Words{"Unable to reset Install key in registry. Date Book", kFailed}));
  EXPECT_EQ(runner_.Steps(), Words{"install"});
}

TEST_F(RunFlowTest, ALeftoverUpdateFileIsDeliveredAlone) {
  WriteFile(dir_ / "update.dat", "last run's changes");
  ASSERT_EQ(Run(), 0);
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_EQ(runner_.argvs, (std::vector<Words>{{"/opt/host/hostdrv", "update", dir_.WithSlash(),
                                                "update.dat", "jdoe", "0"}}));
  EXPECT_EQ(delivered_, Words{"last run's changes"});
  EXPECT_FALSE(Exists("update.dat"));
  EXPECT_EQ(monitor_.created, 0);

  // The next run synchronizes.
  runner_.argvs.clear();
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(runner_.Steps(), (Words{"extract", "update"}));
  EXPECT_EQ(monitor_.startSyncs, 1);
}

TEST_F(RunFlowTest, ALeftoverUpdateFileWhoseDeliveryFailsStays) {
  WriteFile(dir_ / "update.dat", "last run's changes");
  runner_.onStart = [](const Words&) { return 1; };
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_), (Words{"Host Communication Error = 1", kFailed}));
  EXPECT_EQ(ReadFileIfAny(dir_ / "update.dat"), "last run's changes");
  EXPECT_EQ(runner_.Steps(), Words{"update"});
  EXPECT_EQ(monitor_.created, 0);
}

TEST_F(RunFlowTest, AFailedExtractEndsTheRunAfterTheMonitorIsGone) {
  runner_.onStart = [this](const Words&) {
    WriteFile(dir_ / "conderr.txt", "host calendar locked\n");
    return 2;
  };
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_),
            (Words{"Host Communication Error = 2", "host calendar locked\n", kFailed}));
  EXPECT_EQ(monitor_.startSyncs, 0);
  EXPECT_EQ(monitor_.destroyed, 1);
  EXPECT_EQ(monitor_.logEntriesAtDestruction, 2u);  // before the failure line
  EXPECT_TRUE(Exists("conderr.txt"));               // left for the user until the next extract
}

TEST_F(RunFlowTest, AResultThatWillNotMoveIsCopiedOrLeavesNoBackupToMisleadTheNextRun) {
  struct Case {
    const char* name;
    Words failing;
    Words logged;
    Words steps;
    const char* delivered;  // what the update step got, if it ran
    bool backupKept;
  };
  const Case cases[] = {
      {"copied", {"Move"}, {}, {"extract", "update"}, "synchronized records", true},
      {"neither moved nor copied",
       {"Move", "Copy"},
       {"Unable to move the Desktop file to update.dat. Date Book", kFailed},
       {"extract"},
       nullptr,
       false},
      {"not even the backup deleted",
       {"Move", "Copy", "Delete"},
       {"Unable to move the Desktop file to update.dat. Date Book",
        "Unable to delete the backup file: check the Desktop disk before the next HotSync. Date "
        "Book",
        kFailed},
       {"extract"},
       nullptr,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    velqor::platform::FaultyFileSystem files(&local_);
    for (const std::string& op : c.failing) files.Fail(op);
    velqor::platform::SetFileSystem(&files);
    WriteFile(dir_ / "datebook.bak", "the result's backup");
    log_.Clear();
    runner_.argvs.clear();
    delivered_.clear();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(LogTexts(log_), c.logged);
    EXPECT_EQ(runner_.Steps(), c.steps);
    EXPECT_EQ(delivered_, c.delivered ? Words{c.delivered} : Words{});
    EXPECT_EQ(Exists("datebook.bak"), c.backupKept);
    EXPECT_FALSE(Exists("update.dat"));
    velqor::platform::SetFileSystem(&files_);
    std::filesystem::remove(dir_ / "datebook.dat");
  }
}

TEST_F(RunFlowTest, ADriverThatEndsWellWithoutTheDesktopFileFailsTheRun) {
  // A file an earlier run left under the name does not stand in for the one the driver owes.
  WriteFile(dir_ / "datebook.dat", "left by an earlier run");
  runner_.onStart = [](const Words&) { return 0; };
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(
      LogTexts(log_),
      (Words{"The Host Driver reported success but wrote no Desktop file. Date Book", kFailed}));
  EXPECT_EQ(monitor_.startSyncs, 0);
  EXPECT_EQ(runner_.Steps(), Words{"extract"});
}

TEST_F(RunFlowTest, APermissionToEmptyTheHandheldThatCannotBeClearedStopsTheRun) {
  store_.SetNumber(kKey, "AllowHostWipe", 1);
  store_.RefuseWrites("AllowHostWipe");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_),
            (Words{"Unable to reset AllowHostWipe key in registry. Date Book", kFailed}));
  EXPECT_EQ(monitor_.startSyncs, 0);
}

TEST_F(RunFlowTest, AFailedUpdateLeavesTheUpdateFileForTheNextRun) {
  auto driver = runner_.onStart;
  runner_.onStart = [&](const Words& argv) { return argv[1] == "update" ? 9 : driver(argv); };
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_), (Words{"Host Communication Error = 9", kFailed}));
  EXPECT_EQ(ReadFileIfAny(dir_ / "update.dat"), "synchronized records");
  EXPECT_EQ(monitor_.destroyed, 1);

  runner_.onStart = driver;
  runner_.argvs.clear();
  log_.Clear();
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(runner_.Steps(), Words{"update"});
  EXPECT_EQ(delivered_.back(), "synchronized records");
  EXPECT_FALSE(Exists("update.dat"));
}

TEST_F(RunFlowTest, SettingsFailuresEndTheRunBeforeAnythingElse) {
  store_.Remove(kKey, "DriverPath");
  WriteFile(dir_ / "update.dat", "left over");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_), (Words{"Unable to read DriverPath in registry. Date Book", kFailed}));
  EXPECT_TRUE(runner_.argvs.empty());
  EXPECT_TRUE(Exists("update.dat"));

  log_.Clear();
  CopyField(props_.settingsKeyPath, "Conduits\\Other");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LogTexts(log_), (Words{"Unable to open conduit registry key. Date Book", kFailed}));
}

TEST_F(RunFlowTest, WithoutAMonitorTheRunEndsQuietlyBeforeTheExtract) {
  SetMonitorFactory(nullptr);
  WriteFile(dir_ / "conderr.txt", "kept");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_TRUE(runner_.argvs.empty());
  EXPECT_EQ(ReadFileIfAny(dir_ / "conderr.txt"), "kept");
}

TEST_F(RunFlowTest, TheHostUserIdComesFromTheSettingsOrTheWholeUserName) {
  struct Case {
    const char* name;
    uint32_t userMode;
    const char* userId;
    std::string userName;  // up to 256 bytes, without NUL when it fills the field
    std::string expected;
  };
  const std::string longName(60, 'n');
  const std::string fullField(256, 'f');
  const std::vector<Case> cases = {
      {"user ID set", 0, "hostuser", "jdoe", "hostuser"},
      {"user ID empty", 0, "", "jdoe", "jdoe"},
      {"user mode ignores the user ID", 1, "hostuser", "jdoe", "jdoe"},
      {"a long user name is passed whole", 0, "", longName, longName},
      {"a user name filling its field", 0, "", fullField, fullField},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.SetNumber(kKey, "UserMode", c.userMode);
    store_.SetText(kKey, "UserID", c.userId);
    CopyField(props_.userName, c.userName);
    runner_.argvs.clear();
    ASSERT_EQ(Run(), 0);
    ASSERT_EQ(runner_.argvs.size(), 2u);
    EXPECT_EQ(runner_.argvs[0][4], c.expected);
    EXPECT_EQ(runner_.argvs[1][4], c.expected);
  }
}

TEST_F(RunFlowTest, LibraryDirectoryLosesOneTrailingBackslash) {
  struct Case {
    const char* hllPath;
    Words env;
  };
  const std::vector<Case> cases = {
      {"/opt/lib", {"PATH=/opt/lib"}},
      {"/opt/lib\\", {"PATH=/opt/lib"}},
      {"/opt/lib\\\\", {"PATH=/opt/lib\\"}},
      {"\\", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hllPath);
    store_.SetText(kKey, "HLLPath", c.hllPath);
    runner_.envs.clear();
    ASSERT_EQ(Run(), 0);
    ASSERT_FALSE(runner_.envs.empty());
    EXPECT_EQ(runner_.envs[0], c.env);
  }
}

TEST_F(RunFlowTest, ALocalFileNameFillingItsFieldIsReadToItsSize) {
  CopyField(props_.localFileName, std::string(256, 'L'));
  runner_.onStart = [](const Words&) { return 0; };
  Run();
  ASSERT_FALSE(runner_.argvs.empty());
  EXPECT_EQ(runner_.argvs[0][3], std::string(256, 'L'));
}

TEST_F(RunFlowTest, AHugeNumberOfDaysIsClampedForTheMonitorButPassedOnAsItIs) {
  store_.SetNumber(kKey, "NumDays", static_cast<uint32_t>(INT32_MAX));
  ASSERT_EQ(Run(), 0);
  ASSERT_EQ(monitor_.windows.size(), 1u);
  EXPECT_EQ(monitor_.windows[0].second, INT32_MAX);
  EXPECT_EQ(runner_.argvs[0][5], "2147483647");
}

// The entry points that do not synchronize.
class EntryPointTest : public ::testing::Test {
 protected:
  void SetUp() override { StoreModuleHandle(module_); }
  void TearDown() override {
    velqor::platform::SetActionDialogUi(nullptr);
    StoreModuleHandle(0);
  }
  ScopedStringTable strings_{velqor::resources::kConduitStrings,
                             velqor::resources::kConduitStringCount};
  velqor::platform::ModuleHandle module_ = strings_.module();
};

TEST_F(EntryPointTest, NameAndVersion) {
  EXPECT_EQ(GetConduitVersion(), 257);
  char name[80];
  struct Case {
    uint16_t size;
    int32_t result;
    const char* text;
  };
  const std::vector<Case> cases = {{80, 0, "Date Book"}, {10, 0, "Date Book"}, {5, 0, "Date"},
                                   {2, 0, "D"},          {1, -1, nullptr},     {0, -1, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::memset(name, 'x', sizeof(name));
    EXPECT_EQ(GetConduitName(name, c.size), c.result);
    if (c.text != nullptr) {
      EXPECT_STREQ(name, c.text);
    }
  }
  EXPECT_EQ(GetConduitName(nullptr, 80), -1);
  StoreModuleHandle(0);
  EXPECT_EQ(GetConduitName(name, 80), -1);
}

TEST_F(EntryPointTest, ConfigureShowsTheActionOfTheSyncType) {
  struct Case {
    int32_t syncType;
    int shown;
  };
  const std::vector<Case> cases = {{0, 0}, {1, 0}, {2, 2}, {3, 1},  {4, 3},
                                   {5, 3}, {6, 3}, {7, 3}, {-1, 3}, {INT32_MAX, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.syncType);
    // Confirming what was shown.
    velqor::platform::ScriptedActionDialog user(true, c.shown, 0);
    velqor::platform::SetActionDialogUi(&user);
    ConduitConfiguration config{};
    config.syncType = c.syncType;
    config.preferenceScope = 9;
    EXPECT_EQ(ConfigureConduit(config), 0);
    EXPECT_EQ(user.runs(), 1);
    EXPECT_EQ(user.shown_action(), c.shown);
    EXPECT_EQ(user.shown_name(), "Date Book");
    const int32_t written[] = {0, 3, 2, 6};
    EXPECT_EQ(config.syncType, written[c.shown]);
    EXPECT_EQ(config.preferenceScope, 2);
  }
}

TEST_F(EntryPointTest, ConfigureWritesTheChosenActionAndScope) {
  struct Case {
    int choice;
    int makeDefault;
    int32_t syncType;
    int32_t scope;
  };
  const std::vector<Case> cases = {{0, 1, 0, 1}, {1, 0, 3, 2}, {2, 1, 2, 1},
                                   {3, 0, 6, 2}, {7, 5, 6, 1}, {-1, 0, 6, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.choice);
    velqor::platform::ScriptedActionDialog user(true, c.choice, c.makeDefault);
    velqor::platform::SetActionDialogUi(&user);
    ConduitConfiguration config{};
    config.syncType = 1;
    EXPECT_EQ(ConfigureConduit(config), 0);
    EXPECT_EQ(config.syncType, c.syncType);
    EXPECT_EQ(config.preferenceScope, c.scope);
  }
}

TEST_F(EntryPointTest, ACancelledDialogChangesNothingButTheScope) {
  velqor::platform::ScriptedActionDialog user(false, 2, 1);
  for (velqor::platform::ActionDialogUi* ui :
       {static_cast<velqor::platform::ActionDialogUi*>(&user),
        static_cast<velqor::platform::ActionDialogUi*>(nullptr)}) {
    velqor::platform::SetActionDialogUi(ui);
    ConduitConfiguration config{};
    config.syncType = 3;
    config.preferenceScope = 7;
    EXPECT_EQ(ConfigureConduit(config), -1);
    EXPECT_EQ(config.syncType, 3);
    EXPECT_EQ(config.preferenceScope, 0);
  }
  EXPECT_EQ(user.runs(), 1);
}

}  // namespace
}  // namespace velqor::shell
