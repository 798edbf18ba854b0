#include "platform/memory_handheld.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "platform/handles.h"

namespace velqor::platform {
namespace {

constexpr uint32_t kMaxRecordId = 0xFFFFFF;  // record IDs are 24 bits wide
constexpr size_t kCategoryBlockSize = 274;   // what a database without a block answers
constexpr uint8_t kMaxCategory = 15;
constexpr size_t kNameField = 32;  // name field of a database, NUL included

// Attribute bits a record keeps: the flags of the high nibble; on a deleted record also the
// archive mark (the low nibble of a live record is its category, kept apart).
uint8_t StoredAttributes(uint8_t attributes) {
  uint8_t mask = (attributes & kAttrDeleted) ? 0xF8 : 0xF0;
  return attributes & mask;
}

bool IsModified(const HandheldRecord& r) {
  return (r.attributes & (kAttrDirty | kAttrDeleted)) != 0;
}

// Copies a record into the caller's RawRecord; nothing of the caller's is touched when the
// data does not fit.
int32_t FillRaw(const HandheldRecord& rec, size_t index, RawRecord* raw) {
  if (rec.data.size() > raw->capacity) return kSyncErrTooBig;
  if (!rec.data.empty()) {
    auto* buffer = ResolveAs<uint8_t>(raw->buffer);
    if (buffer == nullptr) return kSyncErrBadArgument;
    std::memcpy(buffer, rec.data.data(), rec.data.size());
  }
  raw->recordId = rec.id;
  raw->recordIndex = static_cast<uint16_t>(index);
  raw->attributes = StoredAttributes(rec.attributes);
  bool deleted = (rec.attributes & kAttrDeleted) != 0;
  raw->categoryId = (deleted && rec.data.empty()) ? 0 : static_cast<int16_t>(rec.category & 0x0F);
  raw->size = static_cast<uint32_t>(rec.data.size());
  return 0;
}

}  // namespace

HandheldRecord* HandheldDatabase::FindRecord(uint32_t id) {
  for (HandheldRecord& r : records) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

uint32_t HandheldDatabase::NextUniqueId() {
  if (records.size() >= kMaxRecordId) return 0;
  uint32_t candidate = (uniqueIdSeed & kMaxRecordId) + 1;
  if (candidate > kMaxRecordId) candidate = 1;
  if (FindRecord(candidate) == nullptr) {
    uniqueIdSeed = candidate;
    return candidate;
  }
  // The seed ran into IDs in use (after a wrap, or IDs given by the desktop): search the rest.
  std::unordered_set<uint32_t> used;
  used.reserve(records.size());
  for (const HandheldRecord& r : records) used.insert(r.id);
  for (uint32_t n = 0; n < kMaxRecordId; ++n) {
    if (used.count(candidate) == 0) {
      uniqueIdSeed = candidate;
      return candidate;
    }
    candidate = candidate == kMaxRecordId ? 1 : candidate + 1;
  }
  return 0;
}

MemoryHandheld::MemoryHandheld() = default;
MemoryHandheld::~MemoryHandheld() = default;

HandheldDatabase* MemoryHandheld::FindDatabase(const std::string& name) {
  for (auto& db : databases_) {
    if (db->name == name) return db.get();
  }
  return nullptr;
}

HandheldDatabase& MemoryHandheld::AddDatabase(HandheldDatabase database) {
  if (HandheldDatabase* existing = FindDatabase(database.name)) {
    // Replaced in place, so handles open on it stay valid; their walks start over.
    *existing = std::move(database);
    for (auto& [handle, open] : open_) {
      if (open.db == existing) open.nextModified = 0;
    }
    return *existing;
  }
  databases_.push_back(std::make_unique<HandheldDatabase>(std::move(database)));
  return *databases_.back();
}

void MemoryHandheld::SetSystemVersion(uint8_t major, uint8_t minor) {
  major_ = major;
  minor_ = minor;
}

void MemoryHandheld::SetProductText(const std::string& text) {
  productText_ = text;
}

MemoryHandheld::OpenDb* MemoryHandheld::Open(uint8_t handle) {
  auto it = open_.find(handle);
  return it == open_.end() ? nullptr : &it->second;
}

int32_t MemoryHandheld::RegisterConduit(uint32_t* handle) {
  if (handle == nullptr) return kSyncErrBadArgument;
  // A conduit that lost the connection never unregisters, so a new registration replaces an
  // old one instead of being refused.
  ++conduitHandle_;
  if (conduitHandle_ == 0) conduitHandle_ = 1;
  registered_ = true;
  *handle = conduitHandle_;
  return 0;
}

int32_t MemoryHandheld::UnregisterConduit(uint32_t handle) {
  if (!registered_ || handle != conduitHandle_) return kSyncErrBadArgument;
  registered_ = false;
  return 0;
}

int32_t MemoryHandheld::OpenDatabase(const char* name, int32_t card, uint8_t* handle,
                                     int32_t mode) {
  if (name == nullptr || handle == nullptr) return kSyncErrBadArgument;
  // Read at most the name field's length: a longer name cannot be on the device.
  size_t length = strnlen(name, kNameField);
  if (length >= kNameField) return kSyncErrNotFound;
  HandheldDatabase* db = FindDatabase(std::string(name, length));
  if (db == nullptr) return kSyncErrNotFound;
  for (int tries = 0; tries < 255; ++tries) {
    uint8_t candidate = nextHandle_;
    nextHandle_ = nextHandle_ == 255 ? 1 : nextHandle_ + 1;
    if (candidate != 0 && open_.count(candidate) == 0) {
      open_[candidate] = OpenDb{db, 0};
      *handle = candidate;
      return 0;
    }
  }
  return kSyncErrTooManyOpen;
}

int32_t MemoryHandheld::CreateDatabase(DatabaseCreateInfo* info) {
  if (info == nullptr) return kSyncErrBadArgument;
  // The name must end within its field: a device holds at most 31 characters.
  size_t length = strnlen(info->name, kNameField);
  if (length == 0 || length >= kNameField) return kSyncErrBadArgument;
  std::string name(info->name, length);
  if (FindDatabase(name) != nullptr) return kSyncErrDbExists;
  if (open_.size() >= 255) return kSyncErrTooManyOpen;

  HandheldDatabase db;
  db.name = name;
  // The create record carries the creator, the database attributes (byte 9) and the type
  // (offset 42).
  db.creator = info->creator;
  db.flags = info->creationByte;
  db.type = info->creationValue;
  AddDatabase(std::move(db));

  uint8_t handle = 0;
  int32_t status = OpenDatabase(info->name, 0, &handle, kOpenModeReadWrite);
  if (status != 0) return status;
  info->dbHandle = handle;
  return 0;
}

int32_t MemoryHandheld::CloseDatabase(uint8_t handle) {
  if (open_.erase(handle) == 0) return kSyncErrBadArgument;
  return 0;
}

int32_t MemoryHandheld::ReadRecordById(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  OpenDb* open = Open(record->dbHandle);
  if (open == nullptr) return kSyncErrBadArgument;
  auto& records = open->db->records;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].id == record->recordId) return FillRaw(records[i], i, record);
  }
  return kSyncErrNotFound;
}

int32_t MemoryHandheld::ReadRecordByIndex(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  OpenDb* open = Open(record->dbHandle);
  if (open == nullptr) return kSyncErrBadArgument;
  size_t index = record->recordIndex;
  if (index >= open->db->records.size()) return kSyncErrNotFound;
  return FillRaw(open->db->records[index], index, record);
}

int32_t MemoryHandheld::ReadNextModified(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  OpenDb* open = Open(record->dbHandle);
  if (open == nullptr) return kSyncErrBadArgument;
  auto& records = open->db->records;
  for (size_t i = open->nextModified; i < records.size(); ++i) {
    if (!IsModified(records[i])) continue;
    int32_t status = FillRaw(records[i], i, record);
    // The walk stays on a record that did not fit, so a retry with a larger buffer reads it.
    open->nextModified = status == 0 ? i + 1 : i;
    return status;
  }
  open->nextModified = records.size();
  return kSyncErrNotFound;
}

int32_t MemoryHandheld::WriteRecord(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  OpenDb* open = Open(record->dbHandle);
  if (open == nullptr) return kSyncErrBadArgument;
  if (record->size > record->capacity) return kSyncErrBadArgument;
  if (record->recordId > kMaxRecordId) return kSyncErrBadArgument;
  if (record->categoryId < 0 || record->categoryId > kMaxCategory) return kSyncErrBadArgument;
  const uint8_t* data = nullptr;
  if (record->size > 0) {
    data = ResolveAs<const uint8_t>(record->buffer);
    if (data == nullptr) return kSyncErrBadArgument;
  }

  HandheldDatabase& db = *open->db;
  HandheldRecord* target = record->recordId != 0 ? db.FindRecord(record->recordId) : nullptr;
  if (target == nullptr) {
    uint32_t id = record->recordId;
    if (id == 0) {
      id = db.NextUniqueId();
      if (id == 0) return kSyncErrFull;
    } else if (db.records.size() >= kMaxRecordId) {
      return kSyncErrFull;
    }
    db.records.push_back(HandheldRecord{});
    target = &db.records.back();
    target->id = id;
  }
  target->attributes = StoredAttributes(record->attributes);
  target->category = static_cast<uint8_t>(record->categoryId);
  target->data.assign(data, data + record->size);
  ++db.modificationNumber;
  record->recordId = target->id;
  return 0;
}

namespace {
// Removes the records that `doomed` selects and keeps every walk of the database on the record
// it would have read next.
template <typename OpenMap, typename Pred>
void RemoveRecords(HandheldDatabase* db, OpenMap* open, Pred doomed) {
  auto& records = db->records;
  for (size_t i = records.size(); i-- > 0;) {
    if (!doomed(records[i])) continue;
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
    for (auto& [handle, o] : *open) {
      if (o.db == db && o.nextModified > i) --o.nextModified;
    }
  }
}
}  // namespace

int32_t MemoryHandheld::DeleteRecord(RawRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  OpenDb* open = Open(record->dbHandle);
  if (open == nullptr) return kSyncErrBadArgument;
  uint32_t id = record->recordId;
  if (id == 0 || open->db->FindRecord(id) == nullptr) return kSyncErrNotFound;
  RemoveRecords(open->db, &open_, [id](const HandheldRecord& r) { return r.id == id; });
  ++open->db->modificationNumber;
  return 0;
}

int32_t MemoryHandheld::PurgeDeleted(uint8_t handle) {
  OpenDb* open = Open(handle);
  if (open == nullptr) return kSyncErrBadArgument;
  RemoveRecords(open->db, &open_,
                [](const HandheldRecord& r) { return (r.attributes & kAttrDeleted) != 0; });
  ++open->db->modificationNumber;
  return 0;
}

int32_t MemoryHandheld::ResetSyncFlags(uint8_t handle) {
  OpenDb* open = Open(handle);
  if (open == nullptr) return kSyncErrBadArgument;
  for (HandheldRecord& r : open->db->records) r.attributes &= static_cast<uint8_t>(~kAttrDirty);
  open->nextModified = 0;
  return 0;
}

int32_t MemoryHandheld::ReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  OpenDb* open = Open(handle);
  if (open == nullptr) return kSyncErrBadArgument;
  static const std::vector<uint8_t> kEmptyBlock(kCategoryBlockSize, 0);
  const std::vector<uint8_t>& block = open->db->hasAppInfo ? open->db->appInfo : kEmptyBlock;
  size_t count = std::min<size_t>(block.size(), record->bufferSize);
  if (count > 0) {
    auto* buffer = ResolveAs<uint8_t>(record->buffer);
    if (buffer == nullptr) return kSyncErrBadArgument;
    std::memcpy(buffer, block.data(), count);
  }
  record->blockSize = static_cast<uint16_t>(count);
  return 0;
}

int32_t MemoryHandheld::WriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) {
  if (record == nullptr) return kSyncErrBadArgument;
  OpenDb* open = Open(handle);
  if (open == nullptr) return kSyncErrBadArgument;
  size_t count = record->blockSize != 0 ? record->blockSize : record->bufferSize;
  // A block said to be larger than its buffer would be read from beyond it: refused whole.
  if (count > record->bufferSize) return kSyncErrBadArgument;
  const uint8_t* buffer = nullptr;
  if (count > 0) {
    buffer = ResolveAs<const uint8_t>(record->buffer);
    if (buffer == nullptr) return kSyncErrBadArgument;
  }
  open->db->appInfo.assign(buffer, buffer + count);
  open->db->hasAppInfo = true;
  ++open->db->modificationNumber;
  return 0;
}

int32_t MemoryHandheld::ReadSystemInfo(HandheldSystemInfo* info) {
  if (info == nullptr) return kSyncErrBadArgument;
  info->majorVersion = major_;
  info->minorVersion = minor_;
  auto* text = ResolveAs<char>(info->textBuffer);
  if (text != nullptr && info->textCapacity > 0) {
    size_t count = std::min<size_t>(productText_.size(), info->textCapacity - 1u);
    std::memcpy(text, productText_.data(), count);
    text[count] = '\0';
  }
  return 0;
}

int32_t MemoryHandheld::ChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) {
  OpenDb* open = Open(handle);
  if (open == nullptr) return kSyncErrBadArgument;
  if (fromIndex > kMaxCategory || toIndex > kMaxCategory) return kSyncErrBadArgument;
  for (HandheldRecord& r : open->db->records) {
    if ((r.attributes & kAttrDeleted) == 0 && r.category == fromIndex) r.category = toIndex;
  }
  ++open->db->modificationNumber;
  return 0;
}

int32_t MemoryHandheld::YieldCycles(uint16_t cycles) {
  ++yieldCalls_;
  return 0;
}

}  // namespace velqor::platform
