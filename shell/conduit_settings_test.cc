#include "shell/conduit_settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/hotsync_log.h"
#include "platform/settings.h"
#include "shell/shell_test_support.h"

namespace velqor::shell {
namespace {

using velqor::platform::MemoryLog;
using velqor::platform::MemorySettingsStore;
using velqor::platform::SettingsValue;
using velqor::shell::testing::LogTexts;
using velqor::shell::testing::RecordingStore;

constexpr char kKey[] = "Conduits\\DateBook";

SettingsValue Raw(uint32_t type, const std::string& bytes) {
  SettingsValue v;
  v.type = type;
  v.data.assign(bytes.begin(), bytes.end());
  return v;
}

SettingsValue Text(const std::string& text) {
  return Raw(velqor::platform::kRegTypeText, text + std::string(1, '\0'));
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    velqor::platform::SetHotSyncLog(&log_);
    root_ = velqor::platform::RegisterSettingsRoot(&recording_);
    ASSERT_NE(root_, 0u);
    FillValidSettings();
  }
  void FillValidSettings() {
    store_.CreateKey(kKey);
    store_.SetNumber(kKey, "UserMode", 0);
    store_.SetNumber(kKey, "FlushBackup", 0);
    store_.SetText(kKey, "UserID", "jdoe");
    store_.SetText(kKey, "DriverPath", "/opt/host/driver");
    store_.SetText(kKey, "HLLPath", "/opt/host/lib");
    store_.SetNumber(kKey, "NumDays", 30);
    store_.SetText(kKey, "Install", "");
  }
  void TearDown() override {
    velqor::platform::UnregisterSettingsRoot(root_);
    velqor::platform::SetHotSyncLog(nullptr);
  }

  MemorySettingsStore store_;
  RecordingStore recording_{&store_};
  MemoryLog log_;
  HKEY root_ = 0;
};

TEST_F(SettingsTest, ReadsAllValuesInTheirOrder) {
  store_.SetNumber(kKey, "FlushBackup", 1);
  store_.SetText(kKey, "Install", "setup.cfg");
  store_.SetNumber(kKey, "AllowHostWipe", 1);
  ConduitSettings s;
  ASSERT_EQ(ReadConduitSettings(root_, kKey, &s), 1);
  EXPECT_EQ(s.userMode, 0u);
  EXPECT_EQ(s.flushBackup, 1u);
  EXPECT_EQ(s.userId, "jdoe");
  EXPECT_EQ(s.driverPath, "/opt/host/driver");
  EXPECT_EQ(s.hllPath, "/opt/host/lib");
  EXPECT_EQ(s.numDays, 30);
  EXPECT_EQ(s.install, "setup.cfg");
  EXPECT_EQ(s.allowHostWipe, 1u);
  EXPECT_TRUE(log_.entries().empty());
  EXPECT_EQ(recording_.gets,
            (std::vector<std::string>{"UserMode", "FlushBackup", "UserID", "DriverPath", "HLLPath",
                                      "NumDays", "Install", "AllowHostWipe"}));
}

// Each case changes the valid settings of the fixture; a failing case names its message and
// the values that were asked for before reading stopped.
struct ReadCase {
  const char* name;
  std::function<void(MemorySettingsStore&)> change;
  int32_t result;
  const char* message;  // null: nothing logged
  std::vector<std::string> reads;
};

const std::vector<std::string> kAllReads = {"UserMode", "FlushBackup", "UserID", "DriverPath",
                                            "HLLPath",  "NumDays",     "Install"};
// A read that succeeds goes on to the optional permission after Install.
const std::vector<std::string> kAllReadsOfASuccess = {"UserMode",   "FlushBackup",  "UserID",
                                                      "DriverPath", "HLLPath",      "NumDays",
                                                      "Install",    "AllowHostWipe"};

std::string Repeat(size_t n) {
  return std::string(n, 'x');
}

TEST_F(SettingsTest, FailuresStopAtTheFirstUnreadableValueWithItsMessage) {
  const std::vector<ReadCase> cases = {
      {"user id missing",
       [](auto& s) { s.Remove(kKey, "UserID"); },
       0,
       "Unable to read UserID in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID"}},
      {"user id of 40 characters",
       [](auto& s) { s.Set(kKey, "UserID", Text(Repeat(40))); },
       0,
       "Unable to read UserID in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID"}},
      {"user id filling its buffer without a NUL",
       [](auto& s) { s.Set(kKey, "UserID", Raw(1, Repeat(40))); },
       0,
       "Unable to read UserID in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID"}},
      {"user mode too large counts as 0",
       [](auto& s) {
         s.Set(kKey, "UserMode", Raw(4, std::string("\1\0\0\0\0", 5)));
         s.Remove(kKey, "UserID");
       },
       0,
       "Unable to read UserID in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID"}},
      {"driver path missing",
       [](auto& s) { s.Remove(kKey, "DriverPath"); },
       0,
       "Unable to read DriverPath in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID", "DriverPath"}},
      {"driver path of 200 characters",
       [](auto& s) { s.Set(kKey, "DriverPath", Text(Repeat(200))); },
       0,
       "Unable to read DriverPath in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID", "DriverPath"}},
      {"driver path of 199 characters with a NUL and one more byte",
       [](auto& s) { s.Set(kKey, "DriverPath", Raw(1, Repeat(199) + std::string(2, '\0'))); },
       0,
       "Unable to read DriverPath in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID", "DriverPath"}},
      {"hll path missing",
       [](auto& s) { s.Remove(kKey, "HLLPath"); },
       0,
       "Unable to read HLLPath in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID", "DriverPath", "HLLPath"}},
      {"hll path of 50 characters",
       [](auto& s) { s.Set(kKey, "HLLPath", Text(Repeat(50))); },
       0,
       "Unable to read HLLPath in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID", "DriverPath", "HLLPath"}},
      {"number of days missing",
       [](auto& s) { s.Remove(kKey, "NumDays"); },
       0,
       "Unable to read Number of Days to Sync in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID", "DriverPath", "HLLPath", "NumDays"}},
      {"number of days of five bytes",
       [](auto& s) { s.Set(kKey, "NumDays", Raw(4, std::string("\7\0\0\0\0", 5))); },
       0,
       "Unable to read Number of Days to Sync in registry. Date Book",
       {"UserMode", "FlushBackup", "UserID", "DriverPath", "HLLPath", "NumDays"}},
      {"install missing", [](auto& s) { s.Remove(kKey, "Install"); }, 0,
       "Unable to read Install path in registry. Date Book", kAllReads},
      {"install of 50 characters", [](auto& s) { s.Set(kKey, "Install", Text(Repeat(50))); }, 0,
       "Unable to read Install path in registry. Date Book", kAllReads},
      // Values that read well.
      {"user mode set: no user id is read",
       [](auto& s) {
         s.SetNumber(kKey, "UserMode", 1);
         s.Remove(kKey, "UserID");
       },
       1,
       nullptr,
       {"UserMode", "FlushBackup", "DriverPath", "HLLPath", "NumDays", "Install", "AllowHostWipe"}},
      {"user mode and flush backup missing",
       [](auto& s) {
         s.Remove(kKey, "UserMode");
         s.Remove(kKey, "FlushBackup");
       },
       1, nullptr, kAllReadsOfASuccess},
      {"user id of 39 characters", [](auto& s) { s.Set(kKey, "UserID", Text(Repeat(39))); }, 1,
       nullptr, kAllReadsOfASuccess},
      {"driver path of 199 characters",
       [](auto& s) { s.Set(kKey, "DriverPath", Text(Repeat(199))); }, 1, nullptr,
       kAllReadsOfASuccess},
      {"install of 49 characters", [](auto& s) { s.Set(kKey, "Install", Text(Repeat(49))); }, 1,
       nullptr, kAllReadsOfASuccess},
      // Like FlushBackup, a permission that cannot be read is no permission.
      {"allow host wipe of five bytes",
       [](auto& s) { s.Set(kKey, "AllowHostWipe", Raw(4, std::string("\1\0\0\0\0", 5))); }, 1,
       nullptr, kAllReadsOfASuccess},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    FillValidSettings();
    log_.Clear();
    recording_.gets.clear();
    c.change(store_);
    ConduitSettings s;
    EXPECT_EQ(ReadConduitSettings(root_, kKey, &s), c.result);
    if (c.message != nullptr) {
      EXPECT_EQ(LogTexts(log_), std::vector<std::string>{c.message});
    } else {
      EXPECT_TRUE(LogTexts(log_).empty());
    }
    EXPECT_EQ(recording_.gets, c.reads);
  }
}

// How stored bytes become values.
TEST_F(SettingsTest, StoredBytesAreTakenAsTheyAre) {
  struct TextCase {
    const char* name;
    SettingsValue stored;
    std::string expected;
  };
  const std::vector<TextCase> texts = {
      {"empty text", Text(""), ""},
      {"no data bytes (a reset value)", Raw(1, ""), ""},
      {"ends at its first NUL", Raw(1, std::string("ab\0cd\0", 6)), "ab"},
      {"shorter than the buffer without a NUL", Raw(3, "abc"), "abc"},
      {"49 characters and the NUL", Text(Repeat(49)), Repeat(49)},
  };
  for (const TextCase& c : texts) {
    SCOPED_TRACE(c.name);
    store_.Set(kKey, "Install", c.stored);
    ConduitSettings s;
    ASSERT_EQ(ReadConduitSettings(root_, kKey, &s), 1);
    EXPECT_EQ(s.install, c.expected);
  }

  struct NumberCase {
    const char* name;
    SettingsValue stored;
    int32_t expected;
  };
  const std::vector<NumberCase> numbers = {
      {"little-endian", Raw(4, std::string("\x2c\x01\0\0", 4)), 300},
      {"negative", Raw(4, "\xff\xff\xff\xff"), -1},
      {"a text of four bytes read raw", Raw(1, std::string("12\0\0", 4)), 0x3231},
      {"a text of three bytes read raw", Raw(1, std::string("12\0", 3)), 0x3231},
      {"two bytes leave the high bytes 0", Raw(4, "\x05\x01"), 0x0105},
  };
  for (const NumberCase& c : numbers) {
    SCOPED_TRACE(c.name);
    store_.Set(kKey, "NumDays", c.stored);
    ConduitSettings s;
    ASSERT_EQ(ReadConduitSettings(root_, kKey, &s), 1);
    EXPECT_EQ(s.numDays, c.expected);
  }
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SettingsTest, AMissingKeyFailsEveryRoutineAndIsNotCreated) {
  const char* missing = "Conduits\\Nothing";
  ConduitSettings s;
  EXPECT_EQ(ReadConduitSettings(root_, missing, &s), 0);
  EXPECT_EQ(ResetInstallSetting(root_, missing), 0);
  EXPECT_EQ(ResetFlushBackupSetting(root_, missing), 0);
  EXPECT_EQ(ReadConduitSettings(0, kKey, &s), 0);
  const std::string open = "Unable to open conduit registry key. Date Book";
  EXPECT_EQ(LogTexts(log_), (std::vector<std::string>{open, open, open, open}));
  EXPECT_FALSE(store_.KeyExists(missing));
  EXPECT_TRUE(recording_.gets.empty());
}

TEST_F(SettingsTest, AKeyThatRefusesToOpenFailsEveryRoutine) {
  store_.RefuseOpen(kKey);
  ConduitSettings s;
  EXPECT_EQ(ReadConduitSettings(root_, kKey, &s), 0);
  EXPECT_EQ(ResetInstallSetting(root_, kKey), 0);
  EXPECT_EQ(ResetFlushBackupSetting(root_, kKey), 0);
  const std::string open = "Unable to open conduit registry key. Date Book";
  EXPECT_EQ(LogTexts(log_), (std::vector<std::string>{open, open, open}));
  EXPECT_TRUE(recording_.gets.empty());
}

TEST_F(SettingsTest, ResetsStoreTheClearedRequests) {
  store_.SetText(kKey, "Install", "setup.cfg");
  store_.SetNumber(kKey, "FlushBackup", 7);
  store_.SetNumber(kKey, "AllowHostWipe", 1);
  ASSERT_EQ(ResetInstallSetting(root_, kKey), 1);
  ASSERT_EQ(ResetFlushBackupSetting(root_, kKey), 1);
  ASSERT_EQ(ResetAllowHostWipeSetting(root_, kKey), 1);
  const auto install = store_.Get(kKey, "Install");
  ASSERT_TRUE(install.has_value());
  EXPECT_EQ(install->type, velqor::platform::kRegTypeText);
  EXPECT_TRUE(install->data.empty());
  const auto flush = store_.Get(kKey, "FlushBackup");
  ASSERT_TRUE(flush.has_value());
  EXPECT_EQ(flush->type, velqor::platform::kRegTypeNumber);
  EXPECT_EQ(flush->data, std::vector<uint8_t>(4, 0));
  const auto wipe = store_.Get(kKey, "AllowHostWipe");
  ASSERT_TRUE(wipe.has_value());
  EXPECT_EQ(wipe->type, velqor::platform::kRegTypeNumber);
  EXPECT_EQ(wipe->data, std::vector<uint8_t>(4, 0));
  EXPECT_TRUE(log_.entries().empty());

  // A reset value reads back as no request.
  ConduitSettings s;
  ASSERT_EQ(ReadConduitSettings(root_, kKey, &s), 1);
  EXPECT_EQ(s.install, "");
  EXPECT_EQ(s.flushBackup, 0u);
  EXPECT_EQ(s.allowHostWipe, 0u);
}

TEST_F(SettingsTest, RefusedResetsAreReported) {
  store_.RefuseWrites("Install");
  store_.RefuseWrites("FlushBackup");
  store_.RefuseWrites("AllowHostWipe");
  EXPECT_EQ(ResetInstallSetting(root_, kKey), 0);
  EXPECT_EQ(ResetFlushBackupSetting(root_, kKey), 0);
  EXPECT_EQ(ResetAllowHostWipeSetting(root_, kKey), 0);
  EXPECT_EQ(LogTexts(log_),
            (std::vector<std::string>{"Unable to reset Install key in registry. Date Book",
                                      "Unable to reset FlushBackup key in registry. Date Book",
                                      "Unable to reset AllowHostWipe key in registry. Date Book"}));
}

}  // namespace
}  // namespace velqor::shell
