// Pieces the shell's tests share: a settings store that remembers what was read, a process
// runner that answers as a test tells it, the log's texts and the properties' text fields.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hotsync_log.h"
#include "platform/process.h"
#include "platform/settings.h"
#include "platform/sync_manager.h"

namespace velqor::shell::testing {

using Words = std::vector<std::string>;

// Forwards to a memory store and remembers which values were asked for, in order.
class RecordingStore : public velqor::platform::SettingsStore {
 public:
  explicit RecordingStore(velqor::platform::SettingsStore* inner) : inner_(inner) {}
  bool KeyExists(const std::string& path) override { return inner_->KeyExists(path); }
  std::optional<velqor::platform::SettingsValue> Get(const std::string& path,
                                                     const std::string& name) override {
    gets.push_back(name);
    return inner_->Get(path, name);
  }
  bool Set(const std::string& path, const std::string& name,
           const velqor::platform::SettingsValue& v) override {
    sets.push_back(name);
    return inner_->Set(path, name, v);
  }
  bool Remove(const std::string& path, const std::string& name) override {
    return inner_->Remove(path, name);
  }
  bool CreateKey(const std::string& path) override { return inner_->CreateKey(path); }
  std::map<std::string, velqor::platform::SettingsValue> List(const std::string& path) override {
    return inner_->List(path);
  }
  bool AllowsOpen(const std::string& path, uint32_t access) override {
    return inner_->AllowsOpen(path, access);
  }
  Words gets, sets;

 private:
  velqor::platform::SettingsStore* inner_;
};

// Runs no process: each start is handed to `onStart`, which plays the driver (it may write
// files) and returns its exit code; `startError` makes the start fail instead.
class FakeRunner : public velqor::platform::ProcessRunner {
 public:
  int32_t Start(const Words& argv, const Words& env,
                velqor::platform::ProcessId* process) override {
    argvs.push_back(argv);
    envs.push_back(env);
    if (startError != 0) return startError;
    exitCode_ = onStart ? onStart(argv) : 0;
    *process = ++lastId_;
    return 0;
  }
  velqor::platform::PollResult Poll(velqor::platform::ProcessId process,
                                    int32_t* exitCode) override {
    if (process != lastId_) return velqor::platform::PollResult::kFailed;
    *exitCode = exitCode_;
    return velqor::platform::PollResult::kExited;
  }
  // The step words ("install", "extract", "update") of the starts so far.
  Words Steps() const {
    Words steps;
    for (const Words& argv : argvs) steps.push_back(argv.size() > 1 ? argv[1] : "");
    return steps;
  }

  std::function<int32_t(const Words& argv)> onStart;
  int32_t startError = 0;
  std::vector<Words> argvs, envs;

 private:
  int32_t exitCode_ = 0;
  velqor::platform::ProcessId lastId_ = 100;
};

// Installs the services a host driver run reaches for the life of the object: the process
// runner, the log, the clock and the handheld link; the real ones come back at the end.
class InstalledDriverServices {
 public:
  InstalledDriverServices(velqor::platform::ProcessRunner* runner,
                          velqor::platform::HotSyncLog* log, velqor::platform::Clock* clock,
                          velqor::platform::HandheldLink* link) {
    velqor::platform::SetProcessRunner(runner);
    velqor::platform::SetHotSyncLog(log);
    velqor::platform::SetClock(clock);
    velqor::platform::SetHandheldLink(link);
  }
  ~InstalledDriverServices() {
    velqor::platform::SetHandheldLink(nullptr);
    velqor::platform::SetClock(nullptr);
    velqor::platform::SetHotSyncLog(nullptr);
    velqor::platform::SetProcessRunner(nullptr);
  }
  InstalledDriverServices(const InstalledDriverServices&) = delete;
  InstalledDriverServices& operator=(const InstalledDriverServices&) = delete;
};

// The texts of the log's lines, each expected to be a shell failure line (activity 22).
inline Words LogTexts(const velqor::platform::MemoryLog& log) {
  Words texts;
  for (const auto& e : log.entries()) {
    EXPECT_EQ(e.activity, 22) << e.text;
    texts.push_back(e.text);
  }
  return texts;
}

// Fills a fixed text field of a properties record: the text, cut to the field, then zeros.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(N, text.size()));
}

}  // namespace velqor::shell::testing
