// Pieces the shell's tests share: a settings store that remembers what was read, a process
// runner that answers as a test tells it, and a scratch directory.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/settings.h"

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

// A fresh directory, removed with everything in it at the end. path() ends in '/'.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vqshell-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
  }
  ~ScratchDir() {
    if (!path_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace velqor::shell::testing
