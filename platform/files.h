// File operations of the conduit: existence, copy, move, delete, short path names and atomic
// replacement. The real implementation works on the local file system; FaultyFileSystem
// records calls and makes chosen operations fail.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace velqor::platform {

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual bool Exists(const std::string& path) = 0;  // its attributes can be read
  virtual bool Copy(const std::string& from, const std::string& to, bool replace) = 0;
  virtual bool Move(const std::string& from, const std::string& to) = 0;
  virtual bool Delete(const std::string& path) = 0;
  // The short form of a path. Here every path is its own short form; empty when it cannot
  // be given (the path does not exist).
  virtual std::string ShortPathName(const std::string& path) = 0;
  // Replaces the file with `bytes`: a temporary file beside it, flushed, then renamed, so the
  // old content stays whole when anything fails.
  virtual bool WriteAtomically(const std::string& path, const std::string& bytes) = 0;
  virtual bool ReadAll(const std::string& path, std::string* bytes) = 0;
};

class LocalFileSystem : public FileSystem {
 public:
  bool Exists(const std::string& path) override;
  bool Copy(const std::string& from, const std::string& to, bool replace) override;
  bool Move(const std::string& from, const std::string& to) override;
  bool Delete(const std::string& path) override;
  std::string ShortPathName(const std::string& path) override;
  bool WriteAtomically(const std::string& path, const std::string& bytes) override;
  bool ReadAll(const std::string& path, std::string* bytes) override;
};

// Decorates another file system: records "Op path" for every call and fails the operations
// named in Fail() ("Exists", "Copy", "Move", "Delete", "WriteAtomically", "ReadAll").
class FaultyFileSystem : public FileSystem {
 public:
  explicit FaultyFileSystem(FileSystem* inner) : inner_(inner) {}
  void Fail(const std::string& op) { failing_[op] = true; }
  const std::vector<std::string>& calls() const { return calls_; }

  bool Exists(const std::string& path) override;
  bool Copy(const std::string& from, const std::string& to, bool replace) override;
  bool Move(const std::string& from, const std::string& to) override;
  bool Delete(const std::string& path) override;
  std::string ShortPathName(const std::string& path) override;
  bool WriteAtomically(const std::string& path, const std::string& bytes) override;
  bool ReadAll(const std::string& path, std::string* bytes) override;

 private:
  bool Failing(const std::string& op) const;
  FileSystem* inner_;
  std::map<std::string, bool> failing_;
  std::vector<std::string> calls_;
};

// The file system the conduit uses: LocalFileSystem unless one was installed (not owned).
FileSystem& GetFileSystem();
void SetFileSystem(FileSystem* fs);

}  // namespace velqor::platform
