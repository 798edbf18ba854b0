// The conduit module as HotSync Manager uses it: loaded by path, called through the four
// functions it exports, unloaded.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/action_dialog.h"
#include "platform/clock.h"
#include "platform/handles.h"
#include "platform/hotsync_log.h"
#include "platform/memory_handheld.h"
#include "platform/settings.h"
#include "platform/strings.h"
#include "platform/sync_manager.h"
#include "platform/testing/test_support.h"
#include "shell/conduit_api.h"
#include "shell/shell_test_support.h"
#include "tests/shell/fake_driver_calls.h"

namespace {

using velqor::shell::testing::CopyField;
using velqor::shell::testing::ReadDriverCalls;
using velqor::shell::testing::Words;
using velqor::test_support::ReadFileIfAny;
using velqor::test_support::ScratchDir;
using velqor::test_support::WriteFile;

const char kModule[] = VQ_CONDUIT_MODULE;
const std::string kDriver = VQ_FAKE_DRIVER;
constexpr char kKey[] = "Conduits\\DateBook";
constexpr char kFailed[] = "Datebook Synchronization Failed";

struct Module {
  void* handle = nullptr;
  OpenConduitFn open = nullptr;
  GetConduitNameFn name = nullptr;
  GetConduitVersionFn version = nullptr;
  ConfigureConduitFn configure = nullptr;

  bool Load() {
    handle = dlopen(kModule, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return false;
    open = reinterpret_cast<OpenConduitFn>(dlsym(handle, kOpenConduitSymbol));
    name = reinterpret_cast<GetConduitNameFn>(dlsym(handle, kGetConduitNameSymbol));
    version = reinterpret_cast<GetConduitVersionFn>(dlsym(handle, kGetConduitVersionSymbol));
    configure = reinterpret_cast<ConfigureConduitFn>(dlsym(handle, kConfigureConduitSymbol));
    return open != nullptr && name != nullptr && version != nullptr && configure != nullptr;
  }
  ~Module() {
    if (handle != nullptr) dlclose(handle);
  }
};

// The handle under which a module registered a string table holding this text as 3301.
velqor::platform::ModuleHandle FindStringTable(const char* text) {
  for (velqor::platform::ModuleHandle h = 1; h < 256; ++h) {
    char buffer[32] = {};
    if (LoadStringA(h, 3301, buffer, sizeof(buffer)) > 0 && std::strcmp(buffer, text) == 0) {
      return h;
    }
  }
  return 0;
}

TEST(ConduitModule, LoadsExportsItsEntryPointsAndUnloads) {
  ASSERT_EQ(FindStringTable("Date Book"), 0u);
  velqor::platform::ModuleHandle table = 0;
  {
    Module module;
    ASSERT_TRUE(module.Load()) << dlerror();
    table = FindStringTable("Date Book");
    EXPECT_NE(table, 0u);  // registered on load

    EXPECT_EQ(module.version(), 257);
    char name[80] = {};
    EXPECT_EQ(module.name(name, sizeof(name)), 0);
    EXPECT_STREQ(name, "Date Book");
    EXPECT_EQ(module.name(name, 1), -1);

    // Nothing else is exported: checked over the symbol table by the velqor_exports test.
  }
  // Gone from the process, and its string table with it.
  EXPECT_EQ(dlopen(kModule, RTLD_NOW | RTLD_NOLOAD), nullptr);
  char buffer[32] = {};
  EXPECT_EQ(LoadStringA(table, 3301, buffer, sizeof(buffer)), 0);
}

TEST(ConduitModule, ConfigureThroughTheActionDialog) {
  Module module;
  ASSERT_TRUE(module.Load()) << dlerror();
  velqor::platform::ScriptedActionDialog confirm(true, 1, 1);
  velqor::platform::SetActionDialogUi(&confirm);
  ConduitConfiguration config{};
  config.syncType = 2;
  EXPECT_EQ(module.configure(config), 0);
  EXPECT_EQ(confirm.shown_action(), 2);
  EXPECT_EQ(confirm.shown_name(), "Date Book");
  EXPECT_EQ(config.syncType, 3);
  EXPECT_EQ(config.preferenceScope, 1);

  velqor::platform::ScriptedActionDialog cancel(false, 0, 0);
  velqor::platform::SetActionDialogUi(&cancel);
  EXPECT_EQ(module.configure(config), -1);
  EXPECT_EQ(config.syncType, 3);
  EXPECT_EQ(config.preferenceScope, 0);
  velqor::platform::SetActionDialogUi(nullptr);
}

// A host with a handheld connected, a log, the conduit's settings and a user directory.
class HostRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.Load()) << dlerror();
    ASSERT_TRUE(dir_.ok());
    velqor::platform::SetHandheldLink(&handheld_);
    velqor::platform::SetHotSyncLog(&log_);
    velqor::platform::SetClock(&clock_);
    root_ = velqor::platform::RegisterSettingsRoot(&store_);
    store_.CreateKey(kKey);
    store_.SetNumber(kKey, "UserMode", 0);
    store_.SetText(kKey, "UserID", "");
    store_.SetText(kKey, "DriverPath", kDriver);
    store_.SetText(kKey, "HLLPath", "/opt/host/lib\\");
    store_.SetNumber(kKey, "NumDays", 14);
    store_.SetText(kKey, "Install", "");
    CopyField(props_.directory, dir_.WithSlash());
    CopyField(props_.localFileName, "datebook.dat");
    CopyField(props_.userName, "Jane");
    CopyField(props_.settingsKeyPath, kKey);
    props_.settingsRootKey = root_;
  }
  void TearDown() override {
    velqor::platform::UnregisterSettingsRoot(root_);
    velqor::platform::SetClock(nullptr);
    velqor::platform::SetHotSyncLog(nullptr);
    velqor::platform::SetHandheldLink(nullptr);
  }
  Words LogTexts() const {
    Words texts;
    for (const auto& e : log_.entries()) texts.push_back(e.text);
    return texts;
  }
  Words Steps() const {
    Words steps;
    for (const auto& call : ReadDriverCalls(dir_.WithSlash())) steps.push_back(call.argv.at(1));
    return steps;
  }

  Module module_;
  ScratchDir dir_;
  velqor::platform::MemoryHandheld handheld_;
  velqor::platform::MemoryLog log_;
  velqor::platform::FixedClock clock_{868000000};
  velqor::platform::MemorySettingsStore store_;
  HKEY root_ = 0;
  ConduitProperties props_{};
  int hotsync_ = 0;  // what the caller pointer points at does not matter to the conduit
};

TEST_F(HostRunTest, NullCallerReturnsAtOnce) {
  store_.SetText(kKey, "Install", "setup.ini");
  EXPECT_EQ(module_.open(nullptr, props_), 0);
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_TRUE(Steps().empty());
  EXPECT_EQ(store_.Get(kKey, "Install")->data.size(), 10u);
}

TEST_F(HostRunTest, InstallRunsFirstAndIsClearedThenTheDateBookSynchronizes) {
  static char dbName[] = "DatebookDB";
  props_.databaseNames[0] = velqor::platform::RegisterPointer(dbName);
  store_.SetText(kKey, "Install", "setup.ini");
  WriteFile(dir_ / "empty.dat", "0000");  // a host calendar without events
  WriteFile(dir_ / "fake_driver.ctl", "extract write empty.dat\n");
  EXPECT_EQ(module_.open(&hotsync_, props_), 0);
  velqor::platform::ReleasePointer(props_.databaseNames[0]);

  const auto calls = ReadDriverCalls(dir_.WithSlash());
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].argv,
            (Words{kDriver, "install", dir_.WithSlash(), "setup.ini", "dummy", "0"}));
  EXPECT_EQ(calls[0].env, Words{"PATH=/opt/host/lib"});
  EXPECT_EQ(calls[0].fds, "0 1 2");
  EXPECT_EQ(calls[1].argv.at(1), "extract");
  EXPECT_EQ(calls[2].argv.at(1), "update");
  EXPECT_TRUE(store_.Get(kKey, "Install")->data.empty());
  EXPECT_GE(clock_.slept_ms(), 5000u);
  // The module's monitor ran a clean synchronization: the database was created on the
  // handheld, and the log holds just the start and closing lines.
  EXPECT_NE(handheld_.FindDatabase("DatebookDB"), nullptr);
  EXPECT_EQ(LogTexts(), (Words{"", "Date Book"}));
  EXPECT_FALSE(ReadFileIfAny(dir_ / "update.dat").has_value());
}

TEST_F(HostRunTest, ALeftoverUpdateFileIsDelivered) {
  WriteFile(dir_ / "update.dat", "changes");
  EXPECT_EQ(module_.open(&hotsync_, props_), 0);
  EXPECT_TRUE(log_.entries().empty());
  const auto calls = ReadDriverCalls(dir_.WithSlash());
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, (Words{kDriver, "update", dir_.WithSlash(), "update.dat", "Jane", "0"}));
  EXPECT_FALSE(ReadFileIfAny(dir_ / "update.dat").has_value());
}

TEST_F(HostRunTest, AFailedDeliveryIsLoggedAndTheFileStays) {
  WriteFile(dir_ / "update.dat", "changes");
  WriteFile(dir_ / "why.txt", "host offline\nretry later\n");
  WriteFile(dir_ / "fake_driver.ctl", "update error why.txt\nupdate exit -1\n");
  EXPECT_EQ(module_.open(&hotsync_, props_), 0);
  EXPECT_EQ(LogTexts(),
            (Words{"Host Communication Error = 255", "host offline\nretry later\n", kFailed}));
  for (const auto& e : log_.entries()) EXPECT_EQ(e.activity, 22);
  EXPECT_EQ(ReadFileIfAny(dir_ / "update.dat"), "changes");
}

TEST_F(HostRunTest, AMissingDriverAndMissingSettingsAreReported) {
  WriteFile(dir_ / "update.dat", "changes");
  store_.SetText(kKey, "DriverPath", dir_ / "no_driver");
  EXPECT_EQ(module_.open(&hotsync_, props_), 0);
  EXPECT_EQ(LogTexts(), (Words{"A required file or DLL cannot be found.", kFailed}));

  log_.Clear();
  store_.Remove(kKey, "NumDays");
  EXPECT_EQ(module_.open(&hotsync_, props_), 0);
  EXPECT_EQ(LogTexts(),
            (Words{"Unable to read Number of Days to Sync in registry. Date Book", kFailed}));
  EXPECT_TRUE(Steps().empty());
}

}  // namespace
