#include <algorithm>
#include <new>

#include "platform/table/table.h"

namespace {

// A row's sort key: rows without a readable integer in the key field sort before all others.
struct Key {
  bool present = false;
  int64_t value = 0;
  bool operator<(const Key& other) const {
    if (present != other.present) return !present;
    return value < other.value;
  }
};

Key KeyOf(const CRow* row, int index, bool asUnsigned) {
  Key key;
  if (row == nullptr || index < 0 || static_cast<size_t>(index) >= row->fields.size()) return key;
  const auto* f = FieldAs<CIntegerField>(row->fields[index].get());
  if (f == nullptr) return key;
  int32_t value = 0;
  f->GetValue(value);
  key.present = true;
  // Record IDs are unsigned: 0x80000000 and above sort after the small ones.
  key.value = asUnsigned ? static_cast<int64_t>(static_cast<uint32_t>(value)) : value;
  return key;
}

void Unregister(CBaseTable* table, std::vector<CBaseIterator*>& list, CBaseIterator* it) {
  if (table == nullptr) return;
  auto found = std::find(list.begin(), list.end(), it);
  if (found != list.end()) list.erase(found);
}

}  // namespace

CBaseIterator::CBaseIterator(CBaseTable& table) : table_(&table) {
  table_->iterators_.push_back(this);
}

CBaseIterator::~CBaseIterator() {
  if (table_ != nullptr) Unregister(table_, table_->iterators_, this);
}

CBaseIterator::CBaseIterator(const CBaseIterator& other)
    : table_(other.table_),
      sorted_(other.sorted_),
      sortedById_(other.sortedById_),
      order_(other.order_),
      index_(other.index_),
      current_(other.current_),
      idOrderPending_(other.idOrderPending_),
      sortedBelow_(other.sortedBelow_),
      foundById_(other.foundById_) {
  if (table_ != nullptr) table_->iterators_.push_back(this);
}

CBaseIterator& CBaseIterator::operator=(const CBaseIterator& other) {
  if (&other == this) return *this;
  if (table_ != other.table_) {
    if (table_ != nullptr) Unregister(table_, table_->iterators_, this);
    table_ = other.table_;
    if (table_ != nullptr) table_->iterators_.push_back(this);
  }
  sorted_ = other.sorted_;
  sortedById_ = other.sortedById_;
  order_ = other.order_;
  index_ = other.index_;
  current_ = other.current_;
  idOrderPending_ = other.idOrderPending_;
  sortedBelow_ = other.sortedBelow_;
  foundById_ = other.foundById_;
  return *this;
}

namespace {

enum class SortKey { kStatus, kCategory };

}  // namespace

// The sorts by status and by category share one stable sort over the rows present now.
static long SortWalk(CBaseTable& table, SortKey which, std::vector<CRow*>* order) {
  const CBaseSchema* schema = table.GetSchema();
  int index = 0;
  switch (which) {
    case SortKey::kStatus:
      index = schema != nullptr ? schema->StatusField() : kFldStatus;
      break;
    case SortKey::kCategory:
      index = schema != nullptr ? schema->CategoryField() : kFldCategory;
      break;
  }
  std::vector<std::pair<Key, CRow*>> keyed;
  keyed.reserve(table.RowCount());
  for (size_t i = 0; i < table.RowCount(); ++i) {
    CRow* row = table.RowAt(i);
    keyed.emplace_back(KeyOf(row, index, false), row);
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  order->clear();
  order->reserve(keyed.size());
  for (const auto& entry : keyed) order->push_back(entry.second);
  return kTblOk;
}

long CBaseIterator::SortByRecordId() {
  if (table_ == nullptr) return kTblNoSchema;
  try {
    table_->BuildIdIndex();
  } catch (const std::bad_alloc&) {
    return kTblBadValue;
  }
  order_.clear();
  sorted_ = true;
  sortedById_ = true;
  idOrderPending_ = true;
  sortedBelow_ = table_->nextSequence_;
  foundById_ = nullptr;
  index_ = 0;
  current_ = nullptr;
  return kTblOk;
}

void CBaseIterator::TakeIdOrder() {
  if (!idOrderPending_) return;
  idOrderPending_ = false;
  order_.clear();
  if (table_ != nullptr) {
    order_.reserve(table_->idIndex_.size());
    for (const CBaseTable::IdEntry& entry : table_->idIndex_) {
      if (entry.sequence < sortedBelow_) order_.push_back(entry.row);
    }
  }
  if (foundById_ != nullptr) {
    const auto at = std::find(order_.begin(), order_.end(), foundById_);
    index_ = at != order_.end() ? static_cast<size_t>(at - order_.begin()) + 1 : 0;
  }
  foundById_ = nullptr;
}

long CBaseIterator::SortByRecordStatus() {
  if (table_ == nullptr) return kTblNoSchema;
  idOrderPending_ = false;
  foundById_ = nullptr;
  const long status = SortWalk(*table_, SortKey::kStatus, &order_);
  sorted_ = true;
  sortedById_ = false;
  index_ = 0;
  current_ = nullptr;
  return status;
}

long CBaseIterator::SortByCatId() {
  if (table_ == nullptr) return kTblNoSchema;
  idOrderPending_ = false;
  foundById_ = nullptr;
  const long status = SortWalk(*table_, SortKey::kCategory, &order_);
  sorted_ = true;
  sortedById_ = false;
  index_ = 0;
  current_ = nullptr;
  return status;
}

long CBaseIterator::UnSort() {
  sorted_ = false;
  sortedById_ = false;
  idOrderPending_ = false;
  foundById_ = nullptr;
  order_.clear();
  index_ = 0;
  current_ = nullptr;
  return kTblOk;
}

long CBaseIterator::Position(CBaseRecord& record, size_t index) {
  const size_t size = sorted_ ? order_.size() : table_->RowCount();
  if (index >= size) {
    index_ = size;
    current_ = nullptr;
    return kTblEndOfTable;
  }
  CRow* row = sorted_ ? order_[index] : table_->RowAt(index);
  record.Bind(row);
  current_ = row;
  index_ = index + 1;
  return kTblOk;
}

long CBaseIterator::FindFirst(CBaseRecord& record, int /*flag*/) {
  if (table_ == nullptr) return kTblEndOfTable;
  if (record.table_ != table_) return kTblWrongTable;
  TakeIdOrder();
  return Position(record, 0);
}

long CBaseIterator::FindNext(CBaseRecord& record, int /*flag*/) {
  if (table_ == nullptr) return kTblEndOfTable;
  if (record.table_ != table_) return kTblWrongTable;
  TakeIdOrder();
  return Position(record, index_);
}

long CBaseIterator::FindByRecordId(RecordId id, CBaseRecord& record, int /*flag*/) {
  if (table_ == nullptr) return kTblEndOfTable;
  if (record.table_ != table_) return kTblWrongTable;
  const CBaseSchema* schema = table_->GetSchema();
  const int field = schema != nullptr ? schema->RecordIdField() : kFldRecordId;
  const Key wanted{true, static_cast<int64_t>(id)};

  if (idOrderPending_) {
    // The first row with the ID among those the sort took in: rows appended since have higher
    // sequence numbers, so they come after every row of the walk with the same ID.
    const auto& index = table_->idIndex_;
    const uint64_t key = CBaseTable::IdKey(id);
    const auto at = index.lower_bound(CBaseTable::IdEntry{key, 0, nullptr});
    if (at != index.end() && at->key == key && at->sequence < sortedBelow_) {
      record.Bind(at->row);
      current_ = at->row;
      foundById_ = at->row;
      return kTblOk;
    }
    current_ = nullptr;
    return kTblEndOfTable;
  }

  if (sorted_ && sortedById_) {
    // The first row with the ID in the sorted walk.
    auto it =
        std::lower_bound(order_.begin(), order_.end(), wanted,
                         [&](CRow* row, const Key& key) { return KeyOf(row, field, true) < key; });
    if (it != order_.end()) {
      const Key found = KeyOf(*it, field, true);
      if (found.present && found.value == wanted.value) {
        return Position(record, static_cast<size_t>(it - order_.begin()));
      }
    }
    current_ = nullptr;
    return kTblEndOfTable;
  }

  const size_t size = sorted_ ? order_.size() : table_->RowCount();
  for (size_t i = 0; i < size; ++i) {
    const CRow* row = sorted_ ? order_[i] : table_->RowAt(i);
    const Key key = KeyOf(row, field, true);
    if (key.present && key.value == wanted.value) return Position(record, i);
  }
  current_ = nullptr;
  return kTblEndOfTable;
}

long CBaseIterator::GetCurrentRowPosition(int32_t& position) const {
  if (table_ == nullptr || current_ == nullptr) return kTblEndOfTable;
  // In the append order the row found last sits just before the walk's next index.
  if (!sorted_ && index_ > 0 && table_->RowAt(index_ - 1) == current_) {
    position = static_cast<int32_t>(index_ - 1);
    return kTblOk;
  }
  const long at = table_->PositionOf(current_);
  if (at < 0) return kTblEndOfTable;
  position = static_cast<int32_t>(at);
  return kTblOk;
}
