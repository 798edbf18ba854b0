#include "platform/table/table.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>
#include <unordered_set>

namespace {

// Schema tag of the Date Book tables; stored in table files so that a file of one kind of
// table is not read into another.
constexpr long kDateBkSchemaTag = 54;

constexpr uint16_t kDateBkFieldTypes[kDateBookFieldCount] = {
    kFieldInteger, kFieldInteger, kFieldInteger, kFieldTime,    kFieldInteger,
    kFieldText,    kFieldInteger, kFieldText,    kFieldBoolean, kFieldBoolean,
    kFieldInteger, kFieldBoolean, kFieldInteger, kFieldInteger, kFieldRepeat,
};

// ---------------------------------------------------------------------------------------------
// The table file form, version 1 (numbers little-endian, texts as a 32-bit length and bytes):
//   "VQTB", version, schema tag (int32), field type count and one uint16 code per field,
//   category count and per category: ID, index, name, explicit file name, name-dirty byte,
//   row count and per row: archive mark byte, then each field's value in type-list order
//   (fields of unknown codes have none), and last a CRC-32 of every byte before it.
// Nothing may follow the checksum.
constexpr char kMagic[4] = {'V', 'Q', 'T', 'B'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kMaxFieldTypes = 1024;
constexpr uint32_t kMaxCategories = 16;
constexpr uint32_t kMaxCategoryText = 4096;

class Crc32 {
 public:
  void Update(const void* data, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
      std::array<uint32_t, 256> t{};
      for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
      }
      return t;
    }();
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) crc_ = table[(crc_ ^ p[i]) & 0xFF] ^ (crc_ >> 8);
  }
  void Update(const std::string& bytes) { Update(bytes.data(), bytes.size()); }
  uint32_t Value() const { return crc_ ^ 0xFFFFFFFFu; }

 private:
  uint32_t crc_ = 0xFFFFFFFFu;
};

[[noreturn]] void BadFormat() {
  throw CArchiveException(kCauseBadFormat);
}

// Writes through the archive and keeps the checksum of everything written.
class Writer {
 public:
  explicit Writer(CArchive& archive) : archive_(archive) {}
  void Bytes(const std::string& bytes) {
    crc_.Update(bytes);
    archive_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  void U8(uint8_t v) { Bytes(std::string(1, static_cast<char>(v))); }
  void U16(uint16_t v) { Bytes(std::string{static_cast<char>(v), static_cast<char>(v >> 8)}); }
  void U32(uint32_t v) {
    Bytes(std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                      static_cast<char>(v >> 24)});
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void Text(const std::string& text) {
    if (text.size() > kMaxCategoryText) BadFormat();
    U32(static_cast<uint32_t>(text.size()));
    Bytes(text);
  }
  void Field(const CBaseField& field) {
    std::string bytes;
    if (EncodeFieldValue(field, &bytes)) {
      Bytes(bytes);
    } else {
      field.Store(archive_);  // a field type of a derived table: its own form, unchecked
    }
  }
  void Checksum() {
    const uint32_t v = crc_.Value();
    const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    archive_.Write(bytes, 4);
  }

 private:
  CArchive& archive_;
  Crc32 crc_;
};

// Reads through the archive, checking lengths, and keeps the checksum of everything read.
class Reader {
 public:
  explicit Reader(CArchive& archive) : archive_(archive) {}
  void Bytes(void* out, uint32_t size) {
    archive_.ReadExact(out, size);
    crc_.Update(out, size);
  }
  uint8_t U8() {
    uint8_t b = 0;
    Bytes(&b, 1);
    return b;
  }
  uint16_t U16() {
    uint8_t b[2];
    Bytes(b, 2);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
  }
  uint32_t U32() {
    uint8_t b[4];
    Bytes(b, 4);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  bool Flag() {
    const uint8_t b = U8();
    if (b > 1) BadFormat();
    return b != 0;
  }
  std::string Text() {
    const uint32_t size = U32();
    if (size > kMaxCategoryText) BadFormat();
    std::string text(size, '\0');
    if (size > 0) Bytes(text.data(), size);
    return text;
  }
  void Field(CBaseField& field) {
    field.Load(archive_);
    std::string bytes;
    if (EncodeFieldValue(field, &bytes)) crc_.Update(bytes);
  }
  void Checksum() {
    uint8_t b[4];
    archive_.ReadExact(b, 4);
    const uint32_t stored = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                            static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    if (stored != crc_.Value()) BadFormat();
    uint8_t extra = 0;
    if (archive_.Read(&extra, 1) != 0) BadFormat();
  }

 private:
  CArchive& archive_;
  Crc32 crc_;
};

int32_t StatusOf(const CRow& row, int index) {
  if (index < 0 || static_cast<size_t>(index) >= row.fields.size()) return 0;
  const auto* f = FieldAs<CIntegerField>(row.fields[index].get());
  int32_t value = 0;
  if (f != nullptr) f->GetValue(value);
  return value;
}

// Serializes the table through the archive; an archive a failure left behind is aborted, so
// nothing more goes through it, before the failure goes on.
void SerializeThrough(CBaseTable& table, CArchive& archive) {
  try {
    table.Serialize(archive);
    archive.Close();
  } catch (...) {
    archive.Abort();
    throw;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Schemas

uint16_t CBaseSchema::GetFieldType(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= m_fieldTypes.size()) return 0;
  return m_fieldTypes[index];
}

long CDateBkSchema::DefineFields() {
  m_nFields = kDateBookFieldCount;
  m_fieldTypes.assign(std::begin(kDateBkFieldTypes), std::end(kDateBkFieldTypes));
  m_nRecordIdField = kFldRecordId;
  m_nStatusField = kFldStatus;
  m_nPrivateField = kFldPrivate;
  m_nCategoryField = kFldCategory;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// CBaseTable

CBaseTable::CBaseTable() = default;

CBaseTable::~CBaseTable() {
  // Records and iterators may outlive the table; they are left on no row and no table.
  for (CBaseRecord* record : records_) {
    record->row_ = nullptr;
    record->table_ = nullptr;
  }
  for (CBaseIterator* iterator : iterators_) {
    iterator->table_ = nullptr;
    iterator->order_.clear();
    iterator->current_ = nullptr;
    iterator->index_ = 0;
    iterator->idOrderPending_ = false;
    iterator->foundById_ = nullptr;
  }
  delete m_pSchema;
}

void CBaseTable::SetSchema(CBaseSchema* schema) {
  if (schema == m_pSchema) return;
  DropIdIndex();  // the record ID may live in another field now
  delete m_pSchema;
  m_pSchema = schema;
}

// ---------------------------------------------------------------------------------------------
// The record ID index

void CIntegerField::NotifyWatch(int32_t value) {
  watch_->RecordIdChanging(watchedRow_, value_, value);
}

uint64_t CBaseTable::IdKeyOf(const CRow& row) const {
  if (idIndexField_ < 0 || static_cast<size_t>(idIndexField_) >= row.fields.size()) return 0;
  const CIntegerField* f = FieldAs<CIntegerField>(row.fields[idIndexField_].get());
  if (f == nullptr) return 0;
  int32_t value = 0;
  f->GetValue(value);
  return IdKey(static_cast<uint32_t>(value));
}

void CBaseTable::IndexRow(CRow* row) {
  idIndex_.insert(IdEntry{IdKeyOf(*row), row->sequence, row});
  if (idIndexField_ >= 0 && static_cast<size_t>(idIndexField_) < row->fields.size()) {
    if (auto* f = FieldAs<CIntegerField>(row->fields[idIndexField_].get())) {
      f->watch_ = this;
      f->watchedRow_ = row;
    }
  }
}

void CBaseTable::BuildIdIndex() {
  const int field = m_pSchema != nullptr ? m_pSchema->RecordIdField() : kFldRecordId;
  if (idIndexBuilt_ && field == idIndexField_) return;
  DropIdIndex();
  idIndexField_ = field;  // a negative one leaves every row without a key
  try {
    for (const auto& row : rows_) IndexRow(row.get());
  } catch (...) {
    DropIdIndex();
    throw;
  }
  idIndexBuilt_ = true;
}

void CBaseTable::DropIdIndex() {
  // Walks still waiting for their order take it while the index is there.
  for (CBaseIterator* iterator : iterators_) iterator->TakeIdOrder();
  if (idIndexField_ >= 0) {
    for (const auto& row : rows_) {
      if (static_cast<size_t>(idIndexField_) >= row->fields.size()) continue;
      if (auto* f = FieldAs<CIntegerField>(row->fields[idIndexField_].get())) {
        f->watch_ = nullptr;
        f->watchedRow_ = nullptr;
      }
    }
  }
  idIndex_.clear();
  idIndexBuilt_ = false;
  idIndexField_ = -1;
}

void CBaseTable::RecordIdChanging(CRow* row, int32_t from, int32_t to) {
  auto node = idIndex_.extract(IdEntry{IdKey(static_cast<uint32_t>(from)), row->sequence, row});
  if (node.empty()) return;
  node.value().key = IdKey(static_cast<uint32_t>(to));
  idIndex_.insert(std::move(node));
}

CRow* CBaseTable::AdoptRow(std::unique_ptr<CRow> row) {
  // The one step that may fail comes before any change; the capacity still grows by doubling.
  if (rows_.size() == rows_.capacity()) rows_.reserve(std::max<size_t>(16, 2 * rows_.size()));
  row->sequence = nextSequence_;
  if (idIndexBuilt_) IndexRow(row.get());
  ++nextSequence_;
  rows_.push_back(std::move(row));
  return rows_.back().get();
}

std::unique_ptr<CBaseField> CBaseTable::ConstructProperField(uint16_t typeCode) {
  return CreateField(typeCode);
}

CRow* CBaseTable::NewRow() {
  auto row = std::make_unique<CRow>();
  const int count = m_pSchema != nullptr ? std::max(0, m_pSchema->GetFieldCount()) : 0;
  row->fields.reserve(count);
  for (int i = 0; i < count; ++i)
    row->fields.push_back(ConstructProperField(m_pSchema->GetFieldType(i)));
  return AdoptRow(std::move(row));
}

long CBaseTable::PositionOf(const CRow* row) const {
  if (row == nullptr) return -1;
  // The rows lie in the order of their sequence numbers.
  auto at = std::lower_bound(
      rows_.begin(), rows_.end(), row->sequence,
      [](const std::unique_ptr<CRow>& r, uint64_t sequence) { return r->sequence < sequence; });
  if (at == rows_.end() || at->get() != row) return -1;
  return static_cast<long>(at - rows_.begin());
}

long CBaseTable::AppendBlankRecord(CBaseRecord& record) {
  if (record.table_ != this) return kTblWrongTable;
  if (m_pSchema == nullptr) return kTblNoSchema;
  try {
    record.Bind(NewRow());
  } catch (const std::bad_alloc&) {
    return kTblBadValue;
  }
  return kTblOk;
}

long CBaseTable::AppendDuplicateRecord(CBaseRecord& source, CBaseRecord& target, int /*flag*/) {
  if (target.table_ != this) return kTblWrongTable;
  const CRow* from = source.GetRow();
  if (from == nullptr) return kTblNotPositioned;
  if (m_pSchema == nullptr) return kTblNoSchema;
  try {
    CRow* row = NewRow();
    const size_t common = std::min(row->fields.size(), from->fields.size());
    for (size_t i = 0; i < common; ++i) {
      // A field of another type at the same index keeps its default.
      if (row->fields[i] && from->fields[i]) row->fields[i]->CopyFrom(*from->fields[i]);
    }
    row->archived = from->archived;
    target.Bind(row);
  } catch (const std::bad_alloc&) {
    return kTblBadValue;
  }
  return kTblOk;
}

void CBaseTable::DumpRecords() {
  std::fprintf(stderr, "table %p: %zu rows\n", static_cast<void*>(this), rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) {
    std::fprintf(stderr, "  row %zu%s:", i, rows_[i]->archived ? " (archived)" : "");
    for (const auto& field : rows_[i]->fields) {
      if (!field) {
        std::fprintf(stderr, " -");
      } else if (const auto* n = field->AsInteger()) {
        int32_t v = 0;
        n->GetValue(v);
        std::fprintf(stderr, " %d", static_cast<int>(v));
      } else if (const auto* b = field->AsBoolean()) {
        std::fprintf(stderr, " %s", b->Get() ? "true" : "false");
      } else if (const auto* t = field->AsText()) {
        std::fprintf(stderr, " \"%.40s\"", t->Get().c_str());
      } else if (const auto* r = field->AsRepeat()) {
        std::fprintf(stderr, " repeat(%d, %zu exceptions)", static_cast<int>(r->rule.GetMyBrand()),
                     r->exceptions.size());
      } else {
        std::fprintf(stderr, " ?");
      }
    }
    std::fprintf(stderr, "\n");
  }
}

void CBaseTable::RemoveRows(const std::vector<bool>& drop) {
  if (std::find(drop.begin(), drop.end(), true) == drop.end()) return;
  // A walk that has not taken its order from the index yet takes it now, with the rows still
  // there, so that it goes on after a dropped row as every other sorted walk does.
  for (CBaseIterator* iterator : iterators_) iterator->TakeIdOrder();
  std::unordered_set<const CRow*> removed;
  std::vector<size_t> keptBefore(rows_.size() + 1, 0);  // kept rows before each position
  for (size_t i = 0; i < rows_.size(); ++i) {
    const bool gone = i < drop.size() && drop[i];
    if (gone) removed.insert(rows_[i].get());
    keptBefore[i + 1] = keptBefore[i] + (gone ? 0 : 1);
  }
  if (removed.empty()) return;

  for (CBaseRecord* record : records_) {
    if (record->row_ != nullptr && removed.count(record->row_)) record->row_ = nullptr;
  }
  for (CBaseIterator* iterator : iterators_) {
    if (iterator->current_ != nullptr && removed.count(iterator->current_)) {
      iterator->current_ = nullptr;
    }
    if (iterator->sorted_) {
      size_t nextIndex = 0;
      std::vector<CRow*> order;
      order.reserve(iterator->order_.size());
      for (size_t i = 0; i < iterator->order_.size(); ++i) {
        if (removed.count(iterator->order_[i])) continue;
        if (i < iterator->index_) ++nextIndex;
        order.push_back(iterator->order_[i]);
      }
      iterator->order_ = std::move(order);
      iterator->index_ = nextIndex;
    } else {
      iterator->index_ = keptBefore[std::min(iterator->index_, rows_.size())];
    }
  }

  if (idIndexBuilt_) {
    if (removed.size() == rows_.size()) {
      idIndex_.clear();
    } else {
      for (const CRow* row : removed)
        idIndex_.erase(IdEntry{IdKeyOf(*row), row->sequence, nullptr});
    }
  }
  std::vector<std::unique_ptr<CRow>> kept;
  kept.reserve(keptBefore.back());
  for (auto& row : rows_) {
    if (!removed.count(row.get())) kept.push_back(std::move(row));
  }
  rows_ = std::move(kept);  // the dropped rows are freed here, after every cursor let go
}

long CBaseTable::PurgeDeletedRecords() {
  const int statusField = m_pSchema != nullptr ? m_pSchema->StatusField() : kFldStatus;
  std::vector<bool> drop(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) {
    drop[i] = StatusOf(*rows_[i], statusField) == kStatusDeleted;
  }
  RemoveRows(drop);
  return kTblOk;
}

long CBaseTable::PurgeAllRecords() {
  RemoveRows(std::vector<bool>(rows_.size(), true));
  return kTblOk;
}

long CBaseTable::DestroyAllFields() {
  return PurgeAllRecords();
}

// ---------------------------------------------------------------------------------------------
// The file form

void CBaseTable::Serialize(CArchive& archive) {
  const std::vector<uint16_t> types = [&] {
    std::vector<uint16_t> list;
    const int count = m_pSchema != nullptr ? std::max(0, m_pSchema->GetFieldCount()) : 0;
    for (int i = 0; i < count; ++i) list.push_back(m_pSchema->GetFieldType(i));
    return list;
  }();
  const int32_t tag = m_pSchema != nullptr ? static_cast<int32_t>(m_pSchema->GetTag()) : 0;

  if (archive.IsStoring()) {
    if (types.size() > kMaxFieldTypes) BadFormat();
    Writer out(archive);
    out.Bytes(std::string(kMagic, sizeof kMagic));
    out.U32(kVersion);
    out.I32(tag);
    out.U32(static_cast<uint32_t>(types.size()));
    for (uint16_t code : types) out.U16(code);

    out.U32(static_cast<uint32_t>(categories_.GetCount()));
    // By index rather than FindFirst/FindNext, so that a caller's walk is not disturbed.
    for (int index = 0; index < static_cast<int>(kMaxCategories); ++index) {
      CCategory* c = nullptr;
      if (categories_.FindIndex(index, &c) != kCatOk || c == nullptr) continue;
      out.I32(c->GetID());
      out.I32(c->GetIndex());
      out.Text(c->GetName());
      // Only an explicit file name is kept; a derived one follows the name.
      CCategory plain(c->GetID(), c->GetIndex(), c->GetName());
      out.Text(c->GetFileName() == plain.GetFileName() ? std::string() : c->GetFileName());
      out.U8(c->IsNameDirty() ? 1 : 0);
    }

    out.U32(static_cast<uint32_t>(rows_.size()));
    for (const auto& row : rows_) {
      out.U8(row->archived ? 1 : 0);
      for (size_t i = 0; i < types.size(); ++i) {
        const CBaseField* field = i < row->fields.size() ? row->fields[i].get() : nullptr;
        if (field != nullptr && field->GetType() == types[i]) {
          out.Field(*field);
        } else if (auto fresh = ConstructProperField(types[i])) {
          out.Field(*fresh);  // a row laid out before a schema change: the default value
        }
      }
    }
    out.Checksum();
    return;
  }

  Reader in(archive);
  char magic[sizeof kMagic];
  in.Bytes(magic, sizeof magic);
  if (!std::equal(std::begin(magic), std::end(magic), std::begin(kMagic))) BadFormat();
  if (in.U32() != kVersion) BadFormat();
  if (in.I32() != tag) BadFormat();
  const uint32_t typeCount = in.U32();
  if (typeCount != types.size()) BadFormat();
  for (uint16_t code : types) {
    if (in.U16() != code) BadFormat();
  }

  const uint32_t categoryCount = in.U32();
  if (categoryCount > kMaxCategories) BadFormat();
  CCategoryMgr categories;
  for (uint32_t i = 0; i < categoryCount; ++i) {
    const int32_t id = in.I32();
    const int32_t index = in.I32();
    std::string name = in.Text();
    std::string fileName = in.Text();
    const bool dirty = in.Flag();
    auto category = std::make_unique<CCategory>(id, index, std::move(name));
    if (!fileName.empty()) category->SetFileName(fileName);
    category->SetNameDirty(dirty ? 1 : 0);
    if (categories.Add(category.get()) != kCatOk) BadFormat();  // bad or repeated index
    category.release();
  }

  // The header is sound: the file's content replaces the table's.
  const uint32_t rowCount = in.U32();
  PurgeAllRecords();
  categories_.CopyFrom(categories);
  for (uint32_t r = 0; r < rowCount; ++r) {
    auto row = std::make_unique<CRow>();
    row->archived = in.Flag();
    for (uint16_t code : types) {
      std::unique_ptr<CBaseField> field = ConstructProperField(code);
      if (field) in.Field(*field);
      row->fields.push_back(std::move(field));
    }
    AdoptRow(std::move(row));  // only whole rows join the table
  }
  in.Checksum();
}

long CBaseTable::SaveTo(const std::string& path) {
  CAtomicFile out;
  int32_t cause = kCauseNone;
  if (!out.Open(path, &cause)) return cause != kCauseNone ? cause : kCauseGeneric;
  try {
    CArchive archive(&out.file(), CArchive::store);
    SerializeThrough(*this, archive);
  } catch (const CException& e) {
    return e.cause() != kCauseNone ? e.cause() : kCauseGeneric;
  } catch (...) {
    return kCauseGeneric;
  }
  // Uncommitted, the temporary file is removed and the old file stays whole.
  if (!out.Commit(&cause)) return cause != kCauseNone ? cause : kCauseGeneric;
  return kTblOk;
}

long CBaseTable::OpenFrom(const std::string& path, long /*flag*/) {
  if (!CFile::GetStatus(path)) return kTblFileMissing;
  CFile file;
  int32_t cause = kCauseNone;
  if (!file.Open(path, CFile::modeRead | CFile::shareDenyWrite, &cause)) {
    if (cause == kCauseFileNotFound) return kTblFileMissing;  // gone since it was looked at
    return cause != kCauseNone ? cause : kCauseGeneric;
  }
  try {
    CArchive archive(&file, CArchive::load);
    SerializeThrough(*this, archive);
    file.Close();
  } catch (const CException& e) {
    file.Abort();
    return e.cause() != kCauseNone ? e.cause() : kCauseGeneric;
  } catch (...) {
    file.Abort();
    return kCauseGeneric;
  }
  return kTblOk;
}

// ---------------------------------------------------------------------------------------------
// CDateBkTable

VQ_IMPLEMENT_DYNCREATE(CDateBkTable, 1)

CDateBkTable::CDateBkTable() {
  SetSchema(new CDateBkSchema(kDateBkSchemaTag));
  m_pSchema->DefineFields();
}

long CDateBkTable::AppendBlankRecord(CDateBkRecord& record) {
  return CBaseTable::AppendBlankRecord(static_cast<CBaseRecord&>(record));
}
