// Pieces of a class library: objects with run-time classes creatable by name, files that report
// numeric failure causes, and buffered archives that load or store. File and archive failures
// are thrown as CException objects; every caller that reads or writes a table file catches them
// and turns them into status codes, so none crosses a module boundary.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CArchive;
class CObject;

struct CRuntimeClass {
  const char* className;
  int schema;
  CObject* (*create)();  // null for classes that cannot be created by name

  CObject* CreateObject() const { return create ? create() : nullptr; }
  // The registered class of that name, or null.
  static const CRuntimeClass* FromName(const char* name);
};

// Adds a class to the registry at static-initialisation time.
struct CRuntimeClassRegistration {
  explicit CRuntimeClassRegistration(const CRuntimeClass* cls);
};

class CObject {
 public:
  virtual const CRuntimeClass* GetRuntimeClass() const;
  virtual ~CObject() = default;
  virtual void Serialize(CArchive& archive);
  virtual void AssertValid() const {}
  virtual void Dump() const {}

  bool IsKindOf(const CRuntimeClass* cls) const;
};

// Declares and defines a class that can be created by name.
#define VQ_DECLARE_DYNCREATE(cls)                              \
 public:                                                       \
  static const CRuntimeClass kRuntimeClass;                    \
  static CObject* CreateObject();                              \
  const CRuntimeClass* GetRuntimeClass() const override;

#define VQ_IMPLEMENT_DYNCREATE(cls, schemaNumber)                                    \
  CObject* cls::CreateObject() { return new cls; }                                  \
  const CRuntimeClass cls::kRuntimeClass = {#cls, schemaNumber, &cls::CreateObject}; \
  const CRuntimeClass* cls::GetRuntimeClass() const { return &kRuntimeClass; }       \
  static const CRuntimeClassRegistration vq_registration_##cls(&cls::kRuntimeClass);

// Failure causes of files and archives. Any nonzero cause is a failure.
enum FailureCause : int32_t {
  kCauseNone = 0,
  kCauseGeneric = 1,
  kCauseFileNotFound = 2,
  kCauseBadPath = 3,
  kCauseAccessDenied = 5,
  kCauseSharingViolation = 11,
  kCauseDiskFull = 13,
  kCauseHardIo = 14,
  kCauseEndOfFile = 15,    // a read met the end of the file
  kCauseBadFormat = 16,    // the content is not what the reader expects
  kCauseWrongMode = 17,    // a load operation on a storing archive or the reverse
};

class CException {
 public:
  explicit CException(int32_t cause) : cause_(cause) {}
  virtual ~CException() = default;
  int32_t cause() const { return cause_; }

 private:
  int32_t cause_;
};
class CFileException : public CException {
 public:
  using CException::CException;
};
class CArchiveException : public CException {
 public:
  using CException::CException;
};

class CFile {
 public:
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareDenyWrite = 0x0020,
    modeCreate = 0x1000,  // create or truncate
  };
  CFile() = default;
  ~CFile();  // closes without raising
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Returns false and sets *cause on failure; never throws.
  bool Open(const std::string& path, unsigned flags, int32_t* cause);
  uint32_t Read(void* buffer, uint32_t count);       // short at the end of the file; throws
  void Write(const void* buffer, uint32_t count);    // throws CFileException
  void Flush();                                       // to the disk (fsync); throws
  uint64_t GetLength() const;                         // throws
  void Close();                                       // throws on a failed close
  void Abort();                                       // closes, never throws
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  // Whether the file exists (its status can be read).
  static bool GetStatus(const std::string& path);

 private:
  int fd_ = -1;
  std::string path_;
};

// Writes a file atomically: everything goes to a temporary file beside the target, and
// Commit() flushes it and renames it over the target. Destroyed uncommitted, the temporary
// file is removed and the target is untouched.
class CAtomicFile {
 public:
  CAtomicFile() = default;
  ~CAtomicFile();
  bool Open(const std::string& target, int32_t* cause);
  CFile& file() { return file_; }
  bool Commit(int32_t* cause);

 private:
  CFile file_;
  std::string target_, temp_;
  bool committed_ = false;
};

class CArchive {
 public:
  enum Mode { store = 0, load = 1 };
  CArchive(CFile* file, Mode mode, uint32_t bufferSize = 4096);
  ~CArchive();  // does not flush
  CArchive(const CArchive&) = delete;
  CArchive& operator=(const CArchive&) = delete;

  bool IsLoading() const { return mode_ == load; }
  bool IsStoring() const { return mode_ == store; }

  // Reads up to count bytes; returns how many arrived (fewer only at the end of the file).
  uint32_t Read(void* buffer, uint32_t count);
  // Reads exactly one byte; at the end of the file throws CArchiveException(kCauseEndOfFile).
  uint8_t ReadByte();
  // Reads exactly count bytes or throws CArchiveException(kCauseEndOfFile).
  void ReadExact(void* buffer, uint32_t count);
  void Write(const void* buffer, uint32_t count);
  void WriteString(const std::string& text) {
    Write(text.data(), static_cast<uint32_t>(text.size()));
  }
  void Flush();  // storing: hands the buffer to the file
  void Close();  // storing: flushes; both: detaches from the file
  void Abort();  // detaches without flushing or throwing
  CFile* GetFile() const { return file_; }

 private:
  void FillBuffer();
  CFile* file_;
  Mode mode_;
  std::vector<uint8_t> buffer_;
  uint32_t pos_ = 0, end_ = 0;
};
