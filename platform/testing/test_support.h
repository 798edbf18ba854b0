// Fixtures the tests of every subsystem share: a pinned time zone, local times, a scratch
// directory, whole-file reads and writes, read-only files and a registered string table.
// Header-only: a test program includes it and links the platform library as it does anyway.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/clock.h"
#include "platform/strings.h"

namespace velqor::test_support {

// Sets TZ for the life of the object and puts the previous value (or its absence) back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", zone, 1);
    velqor::platform::ReloadTimeZone();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    velqor::platform::ReloadTimeZone();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

// A test run once for each zone its parameter names, with that zone pinned.
class PerZoneTest : public ::testing::TestWithParam<const char*> {
 protected:
  ScopedTimeZone zone_{GetParam()};
};

// A local time in the zone in force; the test fails where the platform cannot make it.
inline int32_t Local(int year, int month, int day, int hour = 0, int minute = 0) {
  int64_t t = 0;
  EXPECT_TRUE(velqor::platform::MakeLocalTime(year, month, day, hour, minute, 0, &t));
  return static_cast<int32_t>(t);
}

// Writes `bytes` as the whole file (no atomic replacement: the tests set the scene).
inline bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The whole file, or nothing when it cannot be opened.
inline std::optional<std::string> ReadFileIfAny(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The whole file; empty when it cannot be opened.
inline std::string ReadFile(const std::string& path) {
  return ReadFileIfAny(path).value_or(std::string());
}

// Lifts the immutable flag MakeReadOnly may have set.
inline void ClearImmutable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0) {
    flags &= ~FS_IMMUTABLE_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  ::close(fd);
}

// Makes a file that cannot be opened for writing, not even by root: no write bits and, where
// the file system allows it, the immutable flag. False when neither holds for this process.
inline bool MakeReadOnly(const std::string& path) {
  std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);
  if (::geteuid() != 0) return true;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags |= FS_IMMUTABLE_FL;
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

// Runs `action`, which reads the named pipe at `pipe`, and tells whether it came back on its
// own: one still waiting for a writer after ten seconds would have waited forever, and is let
// go by a writer that closes at once.
inline bool ReturnsWithoutAWriter(const std::string& pipe, const std::function<void()>& action) {
  auto done = std::async(std::launch::async, action);
  if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
    done.get();
    return true;
  }
  const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  done.get();
  return false;
}

// A fresh directory, removed with everything in it at the end, even what a test made
// unwritable or immutable. `base` is where it is made: the system's temporary directory
// unless given.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& base = std::string()) {
    std::error_code ec;
    const std::filesystem::path parent =
        base.empty() ? std::filesystem::temp_directory_path(ec) : std::filesystem::path(base);
    std::string pattern = (parent / "vqtest-XXXXXX").string();
    if (!ec && ::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    if (path_.empty()) return;
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code ignored;
      if (it->is_symlink(ignored)) continue;
      if (it->is_directory(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      } else if (it->is_regular_file(ignored)) {
        ClearImmutable(it->path().string());
      }
    }
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return !path_.empty(); }
  // The directory, without a closing '/'.
  const std::string& path() const { return path_; }
  // The directory with a closing '/', as the conduit is given directories.
  std::string WithSlash() const { return path_ + "/"; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string operator/(const std::string& name) const { return File(name); }
  // The names of the entries directly in the directory, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(path_, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

// Registers a string table for the life of the object.
class ScopedStringTable {
 public:
  ScopedStringTable(const velqor::platform::StringResource* table, size_t count)
      : module_(velqor::platform::RegisterStringTable(table, count)) {}
  ~ScopedStringTable() {
    if (module_ != 0) velqor::platform::UnregisterStringTable(module_);
  }
  ScopedStringTable(const ScopedStringTable&) = delete;
  ScopedStringTable& operator=(const ScopedStringTable&) = delete;
  velqor::platform::ModuleHandle module() const { return module_; }

 private:
  velqor::platform::ModuleHandle module_;
};

}  // namespace velqor::test_support
