#include "tools/handheld_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/crash_points.h"
#include "platform/handles.h"

namespace velqor::tools {
namespace {

using platform::HandheldDatabase;
using platform::HandheldRecord;

constexpr char kMagic[4] = {'V', 'Q', 'H', 'J'};
constexpr uint8_t kVersion = 1;
constexpr size_t kNameField = 32;

enum Op : uint8_t {
  kCreate = 1,
  kPut = 2,
  kRemove = 3,
  kPurge = 4,
  kResetFlags = 5,
  kAppInfo = 6,
  kChangeCategory = 7,
};

void Put8(std::string* s, uint8_t v) {
  s->push_back(static_cast<char>(v));
}
void Put16(std::string* s, uint16_t v) {
  for (int i = 0; i < 2; ++i) Put8(s, static_cast<uint8_t>(v >> (8 * i)));
}
void Put32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) Put8(s, static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::string* s, uint64_t v) {
  for (int i = 0; i < 8; ++i) Put8(s, static_cast<uint8_t>(v >> (8 * i)));
}
void PutBytes(std::string* s, const std::vector<uint8_t>& bytes) {
  Put32(s, static_cast<uint32_t>(bytes.size()));
  s->append(bytes.begin(), bytes.end());
}

// Reads little-endian fields and never beyond the text; every read after a short one fails.
class Reader {
 public:
  explicit Reader(const std::string& s) : s_(s) {}
  bool ok() const { return ok_; }
  bool AtEnd() const { return pos_ == s_.size(); }
  size_t pos() const { return pos_; }
  uint64_t Get(int bytes) {
    if (!ok_ || s_.size() - pos_ < static_cast<size_t>(bytes)) {
      ok_ = false;
      return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
      v |= static_cast<uint64_t>(static_cast<uint8_t>(s_[pos_ + i])) << (8 * i);
    }
    pos_ += static_cast<size_t>(bytes);
    return v;
  }
  std::string Take(size_t n) {
    if (!ok_ || s_.size() - pos_ < n) {
      ok_ = false;
      return {};
    }
    std::string out = s_.substr(pos_, n);
    pos_ += n;
    return out;
  }
  std::vector<uint8_t> Bytes() {
    const std::string b = Take(static_cast<size_t>(Get(4)));
    return std::vector<uint8_t>(b.begin(), b.end());
  }

 private:
  const std::string& s_;
  size_t pos_ = 0;
  bool ok_ = true;
};

uint32_t Check(const std::string& payload) {
  uint32_t h = 2166136261u;
  for (unsigned char c : payload) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

std::string Framed(const std::string& payload) {
  std::string out;
  Put32(&out, static_cast<uint32_t>(payload.size()));
  out += payload;
  Put32(&out, Check(payload));
  return out;
}

std::string HeaderBytes(const JournalHeader& h) {
  std::string s(kMagic, sizeof kMagic);
  Put8(&s, kVersion);
  Put8(&s, h.newDatabase ? 1 : 0);
  Put64(&s, h.baseSize);
  Put64(&s, h.baseHash);
  Put8(&s, static_cast<uint8_t>(std::min<size_t>(h.name.size(), 255)));
  s.append(h.name, 0, std::min<size_t>(h.name.size(), 255));
  return s;
}

std::string CreateEntry(const std::string& name, uint32_t creator, uint32_t type, uint16_t flags) {
  std::string s;
  Put8(&s, kCreate);
  Put32(&s, creator);
  Put32(&s, type);
  Put16(&s, flags);
  Put8(&s, static_cast<uint8_t>(name.size()));
  s += name;
  return s;
}

std::string PutEntry(const HandheldDatabase& db, const HandheldRecord& r) {
  std::string s;
  Put8(&s, kPut);
  Put32(&s, r.id);
  Put8(&s, r.attributes);
  Put8(&s, r.category);
  PutBytes(&s, r.data);
  Put32(&s, db.uniqueIdSeed);
  Put32(&s, db.modificationNumber);
  return s;
}

std::string SimpleEntry(Op op, const HandheldDatabase& db) {
  std::string s;
  Put8(&s, op);
  Put32(&s, db.modificationNumber);
  return s;
}

void RemoveWhere(HandheldDatabase* db, const std::function<bool(const HandheldRecord&)>& doomed) {
  db->records.erase(std::remove_if(db->records.begin(), db->records.end(), doomed),
                    db->records.end());
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

uint64_t ContentHash(const std::string& bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

bool ParseJournal(const std::string& bytes, JournalHeader* header,
                  std::vector<std::string>* entries) {
  Reader in(bytes);
  if (in.Take(sizeof kMagic) != std::string(kMagic, sizeof kMagic) || in.Get(1) != kVersion) {
    return false;
  }
  JournalHeader h;
  h.newDatabase = in.Get(1) != 0;
  h.baseSize = in.Get(8);
  h.baseHash = in.Get(8);
  h.name = in.Take(static_cast<size_t>(in.Get(1)));
  if (!in.ok()) return false;
  *header = h;
  entries->clear();
  while (!in.AtEnd()) {
    const size_t length = static_cast<size_t>(in.Get(4));
    std::string payload = in.Take(length);
    const uint32_t check = static_cast<uint32_t>(in.Get(4));
    if (!in.ok() || check != Check(payload)) break;  // torn: the call never answered
    entries->push_back(std::move(payload));
  }
  return true;
}

bool ApplyJournalEntry(const std::string& entry, HandheldDatabase* db) {
  Reader in(entry);
  const auto op = static_cast<uint8_t>(in.Get(1));
  switch (op) {
    case kCreate: {
      const auto creator = static_cast<uint32_t>(in.Get(4));
      const auto type = static_cast<uint32_t>(in.Get(4));
      const auto flags = static_cast<uint16_t>(in.Get(2));
      std::string name = in.Take(static_cast<size_t>(in.Get(1)));
      if (!in.ok()) return false;
      *db = HandheldDatabase();
      db->name = std::move(name);
      db->creator = creator;
      db->type = type;
      db->flags = flags;
      return true;
    }
    case kPut: {
      HandheldRecord r;
      r.id = static_cast<uint32_t>(in.Get(4));
      r.attributes = static_cast<uint8_t>(in.Get(1));
      r.category = static_cast<uint8_t>(in.Get(1));
      r.data = in.Bytes();
      const auto seed = static_cast<uint32_t>(in.Get(4));
      const auto number = static_cast<uint32_t>(in.Get(4));
      if (!in.ok()) return false;
      if (HandheldRecord* existing = db->FindRecord(r.id)) {
        *existing = std::move(r);
      } else {
        db->records.push_back(std::move(r));
      }
      db->uniqueIdSeed = seed;
      db->modificationNumber = number;
      return true;
    }
    case kRemove: {
      const auto id = static_cast<uint32_t>(in.Get(4));
      const auto number = static_cast<uint32_t>(in.Get(4));
      if (!in.ok()) return false;
      RemoveWhere(db, [id](const HandheldRecord& r) { return r.id == id; });
      db->modificationNumber = number;
      return true;
    }
    case kPurge: {
      const auto number = static_cast<uint32_t>(in.Get(4));
      if (!in.ok()) return false;
      RemoveWhere(db, [](const HandheldRecord& r) { return (r.attributes & kAttrDeleted) != 0; });
      db->modificationNumber = number;
      return true;
    }
    case kResetFlags: {
      const auto number = static_cast<uint32_t>(in.Get(4));
      if (!in.ok()) return false;
      for (HandheldRecord& r : db->records) r.attributes &= static_cast<uint8_t>(~kAttrDirty);
      db->modificationNumber = number;
      return true;
    }
    case kAppInfo: {
      std::vector<uint8_t> block = in.Bytes();
      const auto number = static_cast<uint32_t>(in.Get(4));
      if (!in.ok()) return false;
      db->appInfo = std::move(block);
      db->hasAppInfo = true;
      db->modificationNumber = number;
      return true;
    }
    case kChangeCategory: {
      const auto from = static_cast<uint8_t>(in.Get(1));
      const auto to = static_cast<uint8_t>(in.Get(1));
      const auto number = static_cast<uint32_t>(in.Get(4));
      if (!in.ok()) return false;
      for (HandheldRecord& r : db->records) {
        if ((r.attributes & kAttrDeleted) == 0 && r.category == from) r.category = to;
      }
      db->modificationNumber = number;
      return true;
    }
    default:
      return false;
  }
}

// ---- Journal ----

Journal::~Journal() {
  Close();
}

void Journal::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Journal::Open() {
  do {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) return false;
  if (!WriteAll(fd_, HeaderBytes(header_)) || ::fsync(fd_) != 0) return false;
  // The journal's name must survive a crash as well as its content.
  const int dir = ::open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool Journal::Append(const std::string& entry, const std::string& what) {
  if (broken_) return false;
  bool ok = platform::ReachPoint(platform::PointKind::kHandheldWrite, what + " " + header_.name);
  if (!ok) errno = ENOSPC;
  ok = ok && (fd_ >= 0 || Open());
  // Whatever part of an entry arrived is a torn entry that a replay leaves out; nothing may
  // follow it, so a journal that failed once takes no more.
  ok = ok && WriteAll(fd_, Framed(entry)) && ::fdatasync(fd_) == 0;
  if (!ok) {
    failure_ = path_ + ": cannot be written: " + std::strerror(errno);
    broken_ = true;
  }
  return ok;
}

// ---- JournalingHandheld ----

HandheldDatabase* JournalingHandheld::DatabaseOf(uint8_t handle) {
  auto it = open_.find(handle);
  return it == open_.end() ? nullptr : inner_->FindDatabase(it->second);
}

int32_t JournalingHandheld::OpenDatabase(const char* name, int32_t card, uint8_t* handle,
                                         int32_t mode) {
  const int32_t status = inner_->OpenDatabase(name, card, handle, mode);
  if (status == 0) open_[*handle] = std::string(name, strnlen(name, kNameField));
  return status;
}

int32_t JournalingHandheld::CreateDatabase(DatabaseCreateInfo* info) {
  if (info == nullptr) return inner_->CreateDatabase(info);
  const size_t length = strnlen(info->name, kNameField);
  const std::string name(info->name, length);
  // Only a create that will succeed is journaled first: a database cannot be taken back.
  if (length > 0 && length < kNameField && inner_->FindDatabase(name) == nullptr) {
    Journal* journal = journalFor_(name);
    if (journal == nullptr ||
        !journal->Append(CreateEntry(name, info->creator, info->creationValue, info->creationByte),
                         "HhCreateDatabase")) {
      return kJournalLost;
    }
  }
  const int32_t status = inner_->CreateDatabase(info);
  if (status == 0) open_[info->dbHandle] = name;
  return status;
}

int32_t JournalingHandheld::CloseDatabase(uint8_t handle) {
  const int32_t status = inner_->CloseDatabase(handle);
  if (status == 0) open_.erase(handle);
  return status;
}

int32_t JournalingHandheld::WriteRecord(RawRecord* record) {
  HandheldDatabase* db = record == nullptr ? nullptr : DatabaseOf(record->dbHandle);
  if (db == nullptr) return inner_->WriteRecord(record);
  const uint32_t askedId = record->recordId;
  const HandheldRecord* before = askedId != 0 ? db->FindRecord(askedId) : nullptr;
  // A plain copy and a flag: GCC 12 takes an optional copied here for uninitialized at -O3.
  const bool existed = before != nullptr;
  HandheldRecord old;
  if (existed) old = *before;
  const uint32_t seed = db->uniqueIdSeed;
  const uint32_t number = db->modificationNumber;
  const int32_t status = inner_->WriteRecord(record);
  if (status != 0) return status;
  const HandheldRecord* written = db->FindRecord(record->recordId);
  Journal* journal = journalFor_(db->name);
  if (written != nullptr && journal != nullptr &&
      journal->Append(PutEntry(*db, *written), "HhWriteRecord")) {
    return 0;
  }
  // Not durable, so not done.
  if (existed) {
    *db->FindRecord(askedId) = old;
  } else {
    const uint32_t id = record->recordId;
    RemoveWhere(db, [id](const HandheldRecord& r) { return r.id == id; });
  }
  db->uniqueIdSeed = seed;
  db->modificationNumber = number;
  record->recordId = askedId;
  return kJournalLost;
}

int32_t JournalingHandheld::DeleteRecord(RawRecord* record) {
  HandheldDatabase* db = record == nullptr ? nullptr : DatabaseOf(record->dbHandle);
  if (db == nullptr) return inner_->DeleteRecord(record);
  const HandheldDatabase snapshot = *db;
  const int32_t status = inner_->DeleteRecord(record);
  if (status != 0) return status;
  std::string entry;
  Put8(&entry, kRemove);
  Put32(&entry, record->recordId);
  Put32(&entry, db->modificationNumber);
  Journal* journal = journalFor_(db->name);
  if (journal != nullptr && journal->Append(entry, "HhDeleteRecord")) return 0;
  *db = snapshot;
  return kJournalLost;
}

int32_t JournalingHandheld::WholeDatabaseChange(
    uint8_t handle, const char* what, const std::function<int32_t()>& change,
    const std::function<std::string(const HandheldDatabase&)>& entry) {
  HandheldDatabase* db = DatabaseOf(handle);
  if (db == nullptr) return change();
  const HandheldDatabase snapshot = *db;
  const int32_t status = change();
  if (status != 0) return status;
  Journal* journal = journalFor_(db->name);
  if (journal != nullptr && journal->Append(entry(*db), what)) return 0;
  *db = snapshot;
  return kJournalLost;
}

int32_t JournalingHandheld::PurgeDeleted(uint8_t handle) {
  return WholeDatabaseChange(
      handle, "HhPurgeDeleted", [&] { return inner_->PurgeDeleted(handle); },
      [](const HandheldDatabase& db) { return SimpleEntry(kPurge, db); });
}

int32_t JournalingHandheld::ResetSyncFlags(uint8_t handle) {
  return WholeDatabaseChange(
      handle, "HhResetSyncFlags", [&] { return inner_->ResetSyncFlags(handle); },
      [](const HandheldDatabase& db) { return SimpleEntry(kResetFlags, db); });
}

int32_t JournalingHandheld::WriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) {
  return WholeDatabaseChange(
      handle, "HhWriteCategoryBlock", [&] { return inner_->WriteCategoryBlock(handle, record); },
      [](const HandheldDatabase& db) {
        std::string s;
        Put8(&s, kAppInfo);
        PutBytes(&s, db.appInfo);
        Put32(&s, db.modificationNumber);
        return s;
      });
}

int32_t JournalingHandheld::ChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) {
  return WholeDatabaseChange(
      handle, "SyncChangeCategory",
      [&] { return inner_->ChangeCategory(handle, fromIndex, toIndex); },
      [&](const HandheldDatabase& db) {
        std::string s;
        Put8(&s, kChangeCategory);
        Put8(&s, fromIndex);
        Put8(&s, toIndex);
        Put32(&s, db.modificationNumber);
        return s;
      });
}

}  // namespace velqor::tools
