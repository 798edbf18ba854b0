#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/crash_points.h"
#include "platform/whole_file.h"

namespace velqor::platform {
namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Makes a finished rename durable; a directory that cannot be synced does not undo it.
void SyncDirectory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes `bytes` to a temporary file beside `path`, flushes it to the disk and then puts it in
// place: renamed over the target, or (replace false) linked to the target name, which fails
// when that name exists. On any failure the target is untouched and the temporary is removed.
bool PlaceFile(const std::string& path, const std::string& bytes, bool replace) {
  if (path.empty() || path.back() == '/') return false;
  std::string dir = DirectoryOf(path);
  // Created like any new file (the umask applies); the name is unique to this process and call.
  static std::atomic<uint64_t> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = dir + "/." + BaseNameOf(path) + ".tmp" + std::to_string(getpid()) + "." +
           std::to_string(counter.fetch_add(1));
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  if (!ReachPoint(PointKind::kWrite, path)) {
    close(fd);
    unlink(temp.c_str());
    errno = ENOSPC;
    return false;
  }

  // A replaced file keeps its permissions.
  struct stat old;
  bool ok = true;
  if (stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
    ok = fchmod(fd, old.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (ok) {
    ReachPoint(PointKind::kRename, path);
    if (replace) {
      ok = rename(temp.c_str(), path.c_str()) == 0;
    } else if (link(temp.c_str(), path.c_str()) != 0) {
      // Without hard links the check and the rename are two steps; the check still keeps an
      // existing file.
      ok = errno != EEXIST && access(path.c_str(), F_OK) != 0 && errno == ENOENT &&
           rename(temp.c_str(), path.c_str()) == 0;
    }
  }
  unlink(temp.c_str());  // after a rename the name is gone and this does nothing
  if (ok) SyncDirectory(dir);
  return ok;
}

std::atomic<FileSystem*> g_fileSystem{nullptr};

}  // namespace

// ---- LocalFileSystem ----

bool LocalFileSystem::Exists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool LocalFileSystem::Copy(const std::string& from, const std::string& to, bool replace) {
  std::string bytes;
  if (!ReadAll(from, &bytes)) return false;
  return PlaceFile(to, bytes, replace);
}

bool LocalFileSystem::Move(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return false;
  ReachPoint(PointKind::kRename, from + " " + to);
  return rename(from.c_str(), to.c_str()) == 0;
}

bool LocalFileSystem::Delete(const std::string& path) {
  if (path.empty()) return false;
  ReachPoint(PointKind::kDelete, path);
  return unlink(path.c_str()) == 0;
}

std::string LocalFileSystem::ShortPathName(const std::string& path) {
  return Exists(path) ? path : std::string();
}

bool LocalFileSystem::WriteAtomically(const std::string& path, const std::string& bytes) {
  return PlaceFile(path, bytes, true);
}

bool LocalFileSystem::ReadAll(const std::string& path, std::string* bytes) {
  if (bytes == nullptr || path.empty()) return false;
  return ReadWholeFile(path, bytes, nullptr) == WholeFileStatus::kRead;
}

// ---- FaultyFileSystem ----

bool FaultyFileSystem::Failing(const std::string& op) const {
  auto it = failing_.find(op);
  return inner_ == nullptr || (it != failing_.end() && it->second);
}

bool FaultyFileSystem::Exists(const std::string& path) {
  calls_.push_back("Exists " + path);
  return !Failing("Exists") && inner_->Exists(path);
}

bool FaultyFileSystem::Copy(const std::string& from, const std::string& to, bool replace) {
  calls_.push_back("Copy " + from + " " + to);
  return !Failing("Copy") && inner_->Copy(from, to, replace);
}

bool FaultyFileSystem::Move(const std::string& from, const std::string& to) {
  calls_.push_back("Move " + from + " " + to);
  return !Failing("Move") && inner_->Move(from, to);
}

bool FaultyFileSystem::Delete(const std::string& path) {
  calls_.push_back("Delete " + path);
  return !Failing("Delete") && inner_->Delete(path);
}

std::string FaultyFileSystem::ShortPathName(const std::string& path) {
  calls_.push_back("ShortPathName " + path);
  return Failing("ShortPathName") ? std::string() : inner_->ShortPathName(path);
}

bool FaultyFileSystem::WriteAtomically(const std::string& path, const std::string& bytes) {
  calls_.push_back("WriteAtomically " + path);
  return !Failing("WriteAtomically") && inner_->WriteAtomically(path, bytes);
}

bool FaultyFileSystem::ReadAll(const std::string& path, std::string* bytes) {
  calls_.push_back("ReadAll " + path);
  return !Failing("ReadAll") && inner_->ReadAll(path, bytes);
}

// ---- The installed file system ----

FileSystem& GetFileSystem() {
  static LocalFileSystem* local = new LocalFileSystem;  // never destroyed: used until exit
  FileSystem* installed = g_fileSystem.load();
  return installed != nullptr ? *installed : *local;
}

void SetFileSystem(FileSystem* fs) {
  g_fileSystem.store(fs);
}

}  // namespace velqor::platform
