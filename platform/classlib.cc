#include "platform/classlib.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/crash_points.h"

namespace {

// The registry lives in a function-local static so that registrations running during static
// initialisation of any module find it constructed, whatever the order of initialisation.
struct Registry {
  std::mutex mutex;
  std::map<std::string, const CRuntimeClass*> classes;
};

Registry& GetRegistry() {
  static Registry registry;
  return registry;
}

const CRuntimeClass kObjectClass = {"CObject", 0, nullptr};

int32_t CauseFromErrno(int error) {
  switch (error) {
    case 0:
      return kCauseGeneric;
    case ENOENT:
      return kCauseFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kCauseBadPath;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return kCauseAccessDenied;
    case EWOULDBLOCK:
      return kCauseSharingViolation;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
      return kCauseDiskFull;
    case EIO:
      return kCauseHardIo;
    default:
      return kCauseGeneric;
  }
}

[[noreturn]] void ThrowFile(int32_t cause) {
  throw CFileException(cause);
}

[[noreturn]] void ThrowArchive(int32_t cause) {
  throw CArchiveException(cause);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Run-time classes

const CRuntimeClass* CRuntimeClass::FromName(const char* name) {
  if (name == nullptr) return nullptr;
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.classes.find(name);
  return it == registry.classes.end() ? nullptr : it->second;
}

CRuntimeClassRegistration::CRuntimeClassRegistration(const CRuntimeClass* cls) {
  if (cls == nullptr || cls->className == nullptr) return;
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  // The first registration of a name stands; a second class of the same name cannot take
  // over what callers asked for by name.
  registry.classes.emplace(cls->className, cls);
}

const CRuntimeClass* CObject::GetRuntimeClass() const {
  return &kObjectClass;
}

void CObject::Serialize(CArchive& /*archive*/) {}

// The run-time class records carry no base-class link, so kinship is known only for the
// object's own class and for CObject, which every object is.
bool CObject::IsKindOf(const CRuntimeClass* cls) const {
  if (cls == nullptr) return false;
  if (cls == &kObjectClass) return true;
  const CRuntimeClass* own = GetRuntimeClass();
  if (own == cls) return true;
  return own != nullptr && own->className != nullptr && cls->className != nullptr &&
         std::strcmp(own->className, cls->className) == 0;
}

// ---------------------------------------------------------------------------------------------
// CFile

CFile::~CFile() {
  Abort();
}

bool CFile::Open(const std::string& path, unsigned flags, int32_t* cause) {
  int32_t local = kCauseNone;
  if (cause == nullptr) cause = &local;
  *cause = kCauseNone;
  if (fd_ >= 0) {
    *cause = kCauseGeneric;  // already open: the caller must close first
    return false;
  }
  if (path.empty() || path.find('\0') != std::string::npos) {
    *cause = kCauseBadPath;
    return false;
  }
  int oflags = O_CLOEXEC;
  const bool writes = (flags & modeReadWrite) != 0 || (flags & modeWrite) != 0;
  if (flags & modeReadWrite) {
    oflags |= O_RDWR;
  } else if (flags & modeWrite) {
    oflags |= O_WRONLY;
  } else {
    oflags |= O_RDONLY;
  }
  if (flags & modeCreate) oflags |= O_CREAT | O_TRUNC;

  // Opened without waiting, so a pipe or device put where a table file belongs is refused
  // instead of blocking the run; only regular files hold tables.
  int fd;
  do {
    fd = ::open(path.c_str(), oflags | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *cause = errno == ENXIO ? kCauseAccessDenied : CauseFromErrno(errno);
    return false;
  }
  struct stat st {};
  // Anything read must be a regular file; a write-only open may also reach a character device
  // (nothing is read from it, and the open did not wait).
  const bool writeOnly = (flags & modeWrite) != 0 && (flags & modeReadWrite) == 0;
  if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || (writeOnly && S_ISCHR(st.st_mode)))) {
    ::close(fd);
    *cause = kCauseAccessDenied;
    return false;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(fd);
    *cause = CauseFromErrno(error);
    return false;
  }
  // Denying write to others is an advisory lock that every CFile honours: a reader that
  // denies writes shares the file with other such readers, an opener that also writes holds
  // it alone. Opens without the flag take no lock.
  if (flags & shareDenyWrite) {
    int rc;
    do {
      rc = ::flock(fd, (writes ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      const int error = errno;
      ::close(fd);
      *cause = error == EWOULDBLOCK ? kCauseSharingViolation : CauseFromErrno(error);
      return false;
    }
  }
  fd_ = fd;
  path_ = path;
  return true;
}

uint32_t CFile::Read(void* buffer, uint32_t count) {
  if (fd_ < 0) ThrowFile(kCauseGeneric);
  if (count == 0) return 0;
  if (buffer == nullptr) ThrowFile(kCauseGeneric);
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, out + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowFile(CauseFromErrno(errno));
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

void CFile::Write(const void* buffer, uint32_t count) {
  if (fd_ < 0) ThrowFile(kCauseGeneric);
  if (count == 0) return;
  if (buffer == nullptr) ThrowFile(kCauseGeneric);
  const auto* in = static_cast<const uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, in + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowFile(CauseFromErrno(errno));
    }
    if (n == 0) ThrowFile(kCauseDiskFull);
    done += static_cast<uint32_t>(n);
  }
}

void CFile::Flush() {
  if (fd_ < 0) ThrowFile(kCauseGeneric);
  int rc;
  do {
    rc = ::fsync(fd_);
  } while (rc != 0 && errno == EINTR);
  // Files on systems that cannot sync (pipes, some special files) are as flushed as they get.
  if (rc != 0 && errno != EINVAL && errno != EROFS) ThrowFile(CauseFromErrno(errno));
}

uint64_t CFile::GetLength() const {
  if (fd_ < 0) ThrowFile(kCauseGeneric);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) ThrowFile(CauseFromErrno(errno));
  return st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
}

void CFile::Close() {
  if (fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  path_.clear();
  // The descriptor is gone after close() whatever it reports, so it is never retried.
  if (::close(fd) != 0 && errno != EINTR) ThrowFile(CauseFromErrno(errno));
}

void CFile::Abort() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  path_.clear();
}

bool CFile::GetStatus(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------------------------------------
// CAtomicFile

CAtomicFile::~CAtomicFile() {
  if (!committed_ && !temp_.empty()) {
    file_.Abort();
    ::unlink(temp_.c_str());
  }
}

bool CAtomicFile::Open(const std::string& target, int32_t* cause) {
  int32_t local = kCauseNone;
  if (cause == nullptr) cause = &local;
  *cause = kCauseNone;
  if (!temp_.empty() || file_.IsOpen()) {
    *cause = kCauseGeneric;
    return false;
  }
  if (target.empty() || target.back() == '/' || target.find('\0') != std::string::npos) {
    *cause = kCauseBadPath;
    return false;
  }
  // A fresh name beside the target, created exclusively so that no other file is truncated;
  // the mode is the one a new file gets, or the target's own when it exists.
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    do {
      fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno != EEXIST) {
      *cause = CauseFromErrno(errno);
      return false;
    }
  }
  if (fd < 0) {
    *cause = kCauseGeneric;
    return false;
  }
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    ::fchmod(fd, st.st_mode & 07777);
  }
  ::close(fd);
  if (!velqor::platform::ReachPoint(velqor::platform::PointKind::kWrite, target)) {
    ::unlink(temp.c_str());
    *cause = kCauseDiskFull;
    return false;
  }
  temp_ = temp;
  target_ = target;
  if (!file_.Open(temp_, CFile::modeWrite | CFile::modeCreate, cause)) {
    ::unlink(temp_.c_str());
    temp_.clear();
    return false;
  }
  return true;
}

bool CAtomicFile::Commit(int32_t* cause) {
  int32_t local = kCauseNone;
  if (cause == nullptr) cause = &local;
  *cause = kCauseNone;
  if (committed_ || temp_.empty() || !file_.IsOpen()) {
    *cause = kCauseGeneric;
    return false;
  }
  try {
    file_.Flush();
    file_.Close();
  } catch (const CException& e) {
    *cause = e.cause() != kCauseNone ? e.cause() : kCauseGeneric;
    return false;  // the destructor removes the temporary file
  }
  velqor::platform::ReachPoint(velqor::platform::PointKind::kRename, target_);
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    *cause = CauseFromErrno(errno);
    return false;
  }
  committed_ = true;
  // Make the rename itself durable; a directory that cannot be synced is no failure of ours.
  const std::string dir = DirectoryOf(target_);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// CArchive

CArchive::CArchive(CFile* file, Mode mode, uint32_t bufferSize)
    : file_(file), mode_(mode), buffer_(bufferSize == 0 ? 4096 : bufferSize) {}

CArchive::~CArchive() = default;

void CArchive::FillBuffer() {
  pos_ = 0;
  end_ = 0;
  end_ = file_->Read(buffer_.data(), static_cast<uint32_t>(buffer_.size()));
}

uint32_t CArchive::Read(void* buffer, uint32_t count) {
  if (mode_ != load) ThrowArchive(kCauseWrongMode);
  if (file_ == nullptr) ThrowArchive(kCauseGeneric);
  if (count == 0) return 0;
  if (buffer == nullptr) ThrowArchive(kCauseGeneric);
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    if (pos_ >= end_) {
      FillBuffer();
      if (end_ == 0) break;  // the end of the file
    }
    const uint32_t take = std::min(count - done, end_ - pos_);
    std::memcpy(out + done, buffer_.data() + pos_, take);
    pos_ += take;
    done += take;
  }
  return done;
}

uint8_t CArchive::ReadByte() {
  uint8_t byte = 0;
  if (Read(&byte, 1) != 1) ThrowArchive(kCauseEndOfFile);
  return byte;
}

void CArchive::ReadExact(void* buffer, uint32_t count) {
  if (Read(buffer, count) != count) ThrowArchive(kCauseEndOfFile);
}

void CArchive::Write(const void* buffer, uint32_t count) {
  if (mode_ != store) ThrowArchive(kCauseWrongMode);
  if (file_ == nullptr) ThrowArchive(kCauseGeneric);
  if (count == 0) return;
  if (buffer == nullptr) ThrowArchive(kCauseGeneric);
  const auto* in = static_cast<const uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    if (end_ >= buffer_.size()) Flush();
    const uint32_t take = std::min(count - done, static_cast<uint32_t>(buffer_.size()) - end_);
    std::memcpy(buffer_.data() + end_, in + done, take);
    end_ += take;
    done += take;
  }
}

void CArchive::Flush() {
  if (mode_ != store || file_ == nullptr) return;
  if (end_ == 0) return;
  const uint32_t pending = end_;
  end_ = 0;  // a failed write is not retried from the destructor or a later flush
  file_->Write(buffer_.data(), pending);
}

void CArchive::Close() {
  if (file_ == nullptr) return;
  if (mode_ == store) {
    try {
      Flush();
    } catch (...) {
      Abort();
      throw;
    }
  }
  Abort();
}

void CArchive::Abort() {
  file_ = nullptr;
  pos_ = end_ = 0;
}
