// Field values and their file form. Every number is little-endian; a text is its 32-bit length
// and its bytes; loading checks every length and value and throws kCauseBadFormat on anything a
// store could not have written.
#include <algorithm>
#include <cstring>

#include "platform/table/table.h"

namespace {

constexpr uint32_t kMaxExceptions = 65535;  // more local days than a 32-bit time can reach
constexpr uint32_t kTextChunk = 64 * 1024;

void PutU8(std::string* out, uint8_t value) {
  out->push_back(static_cast<char>(value));
}

void PutU32(std::string* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

void PutI32(std::string* out, int32_t value) {
  PutU32(out, static_cast<uint32_t>(value));
}

uint32_t GetU32(CArchive& archive) {
  uint8_t bytes[4];
  archive.ReadExact(bytes, sizeof bytes);
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

int32_t GetI32(CArchive& archive) {
  return static_cast<int32_t>(GetU32(archive));
}

[[noreturn]] void BadFormat() {
  throw CArchiveException(kCauseBadFormat);
}

template <typename T>
int Order(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

void Write(CArchive& archive, const std::string& bytes) {
  archive.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

}  // namespace

std::unique_ptr<CBaseField> CreateField(uint16_t typeCode) {
  switch (typeCode) {
    case kFieldInteger:
      return std::make_unique<CIntegerField>();
    case kFieldTime:
      return std::make_unique<CTimeField>();
    case kFieldText:
      return std::make_unique<CTextField>();
    case kFieldBoolean:
      return std::make_unique<CBooleanField>();
    case kFieldRepeat:
      return std::make_unique<CRepeatField>();
    default:
      return nullptr;
  }
}

bool EncodeFieldValue(const CBaseField& field, std::string* out) {
  if (out == nullptr) return false;
  out->clear();
  switch (field.GetType()) {
    case kFieldInteger:
    case kFieldTime: {
      const auto* f = field.AsInteger();
      if (f == nullptr) return false;
      int32_t value = 0;
      f->GetValue(value);
      PutI32(out, value);
      return true;
    }
    case kFieldBoolean: {
      const auto* f = field.AsBoolean();
      if (f == nullptr) return false;
      PutU8(out, f->Get() ? 1 : 0);
      return true;
    }
    case kFieldText: {
      const auto* f = field.AsText();
      if (f == nullptr || f->Get().size() > kMaxTextLength) return false;
      PutU32(out, static_cast<uint32_t>(f->Get().size()));
      out->append(f->Get());
      return true;
    }
    case kFieldRepeat: {
      const auto* f = field.AsRepeat();
      if (f == nullptr || f->exceptions.size() > kMaxExceptions) return false;
      const CRepeateDayInfo& rule = f->rule;
      PutU8(out, static_cast<uint8_t>(rule.GetMyBrand()));
      PutI32(out, rule.GetInterval());
      PutI32(out, rule.GetEndDate());
      PutI32(out, rule.GetFirstDayOfWeek());
      PutU8(out, rule.GetWeekDayMask());
      PutI32(out, rule.GetWeekIndex());
      PutI32(out, rule.GetDayOfWeek());
      PutI32(out, rule.GetDayOfMonth());
      PutI32(out, rule.GetMonth());
      PutU32(out, static_cast<uint32_t>(f->exceptions.size()));
      for (int32_t date : f->exceptions) PutI32(out, date);
      return true;
    }
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------------------------
// Integer and time

int CIntegerField::Compare(const CBaseField& other) const {
  if (other.GetType() != GetType()) return 1;
  const auto* o = other.AsInteger();
  if (o == nullptr) return 1;
  return Order(value_, o->value_);
}

std::unique_ptr<CBaseField> CIntegerField::Clone() const {
  return std::make_unique<CIntegerField>(value_);
}

bool CIntegerField::CopyFrom(const CBaseField& other) {
  if (other.GetType() != GetType()) return false;
  const auto* o = other.AsInteger();
  if (o == nullptr) return false;
  Set(o->value_);
  return true;
}

void CIntegerField::Store(CArchive& archive) const {
  std::string bytes;
  EncodeFieldValue(*this, &bytes);
  Write(archive, bytes);
}

void CIntegerField::Load(CArchive& archive) {
  Set(GetI32(archive));
}

std::unique_ptr<CBaseField> CTimeField::Clone() const {
  return std::make_unique<CTimeField>(value_);
}

// ---------------------------------------------------------------------------------------------
// Boolean

int CBooleanField::Compare(const CBaseField& other) const {
  const auto* o = other.AsBoolean();
  if (o == nullptr || other.GetType() != GetType()) return 1;
  return Order(value_, o->value_);
}

std::unique_ptr<CBaseField> CBooleanField::Clone() const {
  auto copy = std::make_unique<CBooleanField>();
  copy->value_ = value_;
  return copy;
}

bool CBooleanField::CopyFrom(const CBaseField& other) {
  const auto* o = other.AsBoolean();
  if (o == nullptr || other.GetType() != GetType()) return false;
  value_ = o->value_;
  return true;
}

void CBooleanField::Store(CArchive& archive) const {
  std::string bytes;
  EncodeFieldValue(*this, &bytes);
  Write(archive, bytes);
}

void CBooleanField::Load(CArchive& archive) {
  const uint8_t byte = archive.ReadByte();
  if (byte > 1) BadFormat();
  value_ = byte != 0;
}

// ---------------------------------------------------------------------------------------------
// Text

int CTextField::Compare(const CBaseField& other) const {
  const auto* o = other.AsText();
  if (o == nullptr || other.GetType() != GetType()) return 1;
  const int c = value_.compare(o->value_);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::unique_ptr<CBaseField> CTextField::Clone() const {
  auto copy = std::make_unique<CTextField>();
  copy->value_ = value_;
  return copy;
}

bool CTextField::CopyFrom(const CBaseField& other) {
  const auto* o = other.AsText();
  if (o == nullptr || other.GetType() != GetType()) return false;
  value_ = o->value_;
  return true;
}

void CTextField::Store(CArchive& archive) const {
  std::string bytes;
  if (!EncodeFieldValue(*this, &bytes)) BadFormat();  // longer than any load would accept
  Write(archive, bytes);
}

void CTextField::Load(CArchive& archive) {
  const uint32_t length = GetU32(archive);
  if (length > kMaxTextLength) BadFormat();
  // The text grows as its bytes arrive, so a false length in a short file costs no more memory
  // than the file holds.
  std::string text;
  while (text.size() < length) {
    const uint32_t take =
        std::min<uint32_t>(kTextChunk, length - static_cast<uint32_t>(text.size()));
    const size_t at = text.size();
    text.resize(at + take);
    archive.ReadExact(text.data() + at, take);
  }
  value_ = std::move(text);
}

// ---------------------------------------------------------------------------------------------
// Repeat rule and exceptions

int CRepeatField::Compare(const CBaseField& other) const {
  const auto* o = other.AsRepeat();
  if (o == nullptr || other.GetType() != GetType()) return 1;
  if (!(rule == o->rule)) return 1;
  // The exceptions are a set of days; the order in which they were added does not matter.
  std::vector<int32_t> a = exceptions, b = o->exceptions;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return a == b ? 0 : 1;
}

std::unique_ptr<CBaseField> CRepeatField::Clone() const {
  auto copy = std::make_unique<CRepeatField>();
  copy->rule = rule;
  copy->exceptions = exceptions;
  copy->startClock = startClock;
  return copy;
}

bool CRepeatField::CopyFrom(const CBaseField& other) {
  const auto* o = other.AsRepeat();
  if (o == nullptr || other.GetType() != GetType()) return false;
  if (o == this) return true;
  rule = o->rule;
  exceptions = o->exceptions;
  startClock = o->startClock;
  ExceptionsChanged();
  return true;
}

void CRepeatField::Store(CArchive& archive) const {
  std::string bytes;
  if (!EncodeFieldValue(*this, &bytes)) BadFormat();
  Write(archive, bytes);
}

void CRepeatField::Load(CArchive& archive) {
  CRepeateDayInfo loaded;
  const uint8_t brand = archive.ReadByte();
  if (brand > kRepeatYearlyByDate) BadFormat();
  loaded.brand_ = static_cast<eRepeateBrand>(brand);
  loaded.interval_ = GetI32(archive);
  loaded.endDate_ = GetI32(archive);
  loaded.firstDayOfWeek_ = GetI32(archive);
  loaded.weekDays_ = archive.ReadByte();
  loaded.weekIndex_ = GetI32(archive);
  loaded.dayOfWeek_ = GetI32(archive);
  loaded.dayOfMonth_ = GetI32(archive);
  loaded.month_ = GetI32(archive);
  const uint32_t count = GetU32(archive);
  if (count > kMaxExceptions) BadFormat();
  std::vector<int32_t> dates;
  for (uint32_t i = 0; i < count; ++i) dates.push_back(GetI32(archive));
  rule = loaded;
  exceptions = std::move(dates);
  ExceptionsChanged();
}
