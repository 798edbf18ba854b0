#include "tools/datebook_db.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "convert/datebook_converter.h"
#include "platform/clock.h"
#include "platform/handles.h"
#include "platform/table/table.h"

namespace velqor::tools {
namespace {

constexpr uint32_t kRecordBufferSize = 4480;
constexpr uint32_t kNameOffset = 2;
constexpr uint32_t kNameSize = 16;
constexpr uint32_t kIdOffset = 258;
constexpr uint32_t kLastIdOffset = 274;
constexpr uint32_t kStartOfWeekOffset = 278;

std::string ToDesktopText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

std::string ToHandheldText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A registered pointer slot for the span of one conversion.
class PointerSlot {
 public:
  explicit PointerSlot(void* p) : handle_(platform::RegisterPointer(p)) {}
  ~PointerSlot() { platform::ReleasePointer(handle_); }
  uint32_t handle() const { return handle_; }

 private:
  uint32_t handle_;
};

}  // namespace

bool DecodeAppointment(const platform::HandheldRecord& record, Appointment* out,
                       std::string* error) {
  if (record.data.empty()) {
    *error = "no data";
    return false;
  }
  // The buffer is never smaller than the record: the converter reads no further than its size.
  std::vector<uint8_t> buffer(std::max<size_t>(record.data.size(), kRecordBufferSize), 0);
  std::copy(record.data.begin(), record.data.end(), buffer.begin());
  PointerSlot slot(buffer.data());
  RawRecord raw{};
  raw.recordId = record.id;
  raw.attributes = static_cast<uint8_t>(record.attributes & ~kAttrDeleted);
  raw.categoryId = record.category;
  raw.size = static_cast<uint32_t>(record.data.size());
  raw.capacity = static_cast<uint16_t>(std::min<size_t>(buffer.size(), 0xFFFF));
  raw.buffer = slot.handle();

  CDateBkTable table;
  CDateBkRecord rec(table, 0);
  if (table.AppendBlankRecord(rec) != kTblOk) {
    *error = "no room for a record";
    return false;
  }
  CDateBkConverter converter;
  const long status = converter.RawToRecord(rec, raw);
  if (status != 0 && status != kConvMovedTo1970) {
    *error = "the record does not convert (status " + std::to_string(status) + ")";
    return false;
  }
  Appointment a;
  rec.GetStartTime(a.start);
  rec.GetEndTime(a.end);
  a.untimed = rec.IsUnTimed() != 0;
  a.alarm = rec.IsAlarmSet() != 0;
  rec.GetAlarmAdvTime(a.alarmAdvance);
  rec.GetAlarmAdvUnit(a.alarmUnit);
  a.repeats = rec.IsRepeatingEvt() != 0 && rec.GetRepeateInfo(a.rule) == kTblOk;
  int32_t date = 0;
  for (long s = rec.FindFirstException(date); s == kTblOk; s = rec.FindNextException(date)) {
    a.exceptions.push_back(date);
  }
  std::string text;
  rec.GetDescription(text);
  a.description = ToHandheldText(text);
  rec.GetNote(text);
  a.note = ToHandheldText(text);
  a.isPrivate = (record.attributes & kAttrPrivate) != 0;
  *out = std::move(a);
  return true;
}

bool EncodeAppointment(const Appointment& a, std::vector<uint8_t>* data, std::string* error) {
  CDateBkTable table;
  CDateBkRecord rec(table, 0);
  if (table.AppendBlankRecord(rec) != kTblOk) {
    *error = "no room for a record";
    return false;
  }
  rec.SetStartTime(a.start);
  rec.SetEndTime(a.end);
  rec.SetUnTimedFlag(a.untimed ? 1 : 0);
  rec.SetAlarmFlag(a.alarm ? 1 : 0);
  rec.SetAlarmAdvTime(a.alarm ? a.alarmAdvance : -1);
  rec.SetAlarmAdvUnit(a.alarmUnit);
  rec.SetPrivate(a.isPrivate ? 1 : 0);
  rec.SetDescription(ToDesktopText(a.description));
  rec.SetNote(ToDesktopText(a.note));
  rec.StopRepeatingEvt();
  if (a.repeats) {
    const CRepeateDayInfo& r = a.rule;
    const int32_t end = r.GetEndDate() >= maxDate() ? -1 : r.GetEndDate();
    long s = kTblOk;
    switch (r.GetMyBrand()) {
      case kRepeatDaily:
        s = rec.SetRepDaily(CDayName(0, r.GetInterval(), end, 0));
        break;
      case kRepeatWeekly:
        s = rec.SetRepWeekly(
            CWeekly(r.GetWeekDayMask(), r.GetInterval(), end, r.GetFirstDayOfWeek()));
        break;
      case kRepeatMonthlyByDay:
        s = rec.SetRepMonthlyByDay(CDayOfMonth(r.GetWeekIndex(), r.GetDayOfWeek(), r.GetInterval(),
                                               end, r.GetFirstDayOfWeek()));
        break;
      case kRepeatMonthlyByDate:
        s = rec.SetRepMonthlyByDate(
            CDateOfMonth(r.GetDayOfMonth(), r.GetInterval(), end, r.GetFirstDayOfWeek()));
        break;
      case kRepeatYearlyByDate:
        s = rec.SetRepYearlyByDate(CDateOfYear(r.GetMonth(), r.GetDayOfMonth(), r.GetInterval(),
                                               end, r.GetFirstDayOfWeek()));
        break;
      default:
        break;
    }
    if (s != kTblOk) {
      *error = "the repeat rule is not accepted (status " + std::to_string(s) + ")";
      return false;
    }
    for (int32_t day : a.exceptions) rec.AddException(day);
  }

  std::vector<uint8_t> buffer(kRecordBufferSize, 0);
  PointerSlot slot(buffer.data());
  RawRecord raw{};
  raw.capacity = static_cast<uint16_t>(buffer.size());
  raw.buffer = slot.handle();
  CDateBkConverter converter;
  const long status = converter.RecordToRaw(rec, raw);
  if (status != 0) {
    *error = status == kConvRecordTooBig
                 ? std::string("the appointment does not fit a handheld record")
                 : "the appointment does not convert (status " + std::to_string(status) + ")";
    return false;
  }
  if (raw.size > buffer.size()) {
    *error = "the appointment does not fit a handheld record";
    return false;
  }
  data->assign(buffer.begin(), buffer.begin() + raw.size);
  return true;
}

std::vector<uint8_t> NewDatebookAppInfo() {
  std::vector<uint8_t> block(kDatebookAppInfoSize, 0);
  const char* unfiled = "Unfiled";
  std::memcpy(block.data() + kNameOffset, unfiled, std::strlen(unfiled));
  block[kLastIdOffset] = 15;
  block[kStartOfWeekOffset] = 0;
  return block;
}

std::vector<CategoryEntry> ReadCategories(const std::vector<uint8_t>& appInfo) {
  std::vector<CategoryEntry> out;
  if (appInfo.size() < kCategoryBlockSize) return out;
  const uint16_t mask = static_cast<uint16_t>(appInfo[0] << 8 | appInfo[1]);
  for (int i = 0; i < 16; ++i) {
    const char* name = reinterpret_cast<const char*>(appInfo.data() + kNameOffset + i * kNameSize);
    const size_t len = strnlen(name, kNameSize);
    if (len == 0) continue;
    CategoryEntry e;
    e.index = i;
    e.id = appInfo[kIdOffset + i];
    e.name.assign(name, len);
    e.renamed = (mask >> i) & 1;
    out.push_back(e);
  }
  return out;
}

int FindCategory(const std::vector<uint8_t>& appInfo, const std::string& name) {
  for (const auto& c : ReadCategories(appInfo)) {
    if (Lower(c.name) == Lower(name)) return c.index;
  }
  return -1;
}

namespace {

bool CheckBlock(const std::vector<uint8_t>& appInfo, std::string* error) {
  if (appInfo.size() < kCategoryBlockSize) {
    *error = "the Date Book has no category block (its application info block holds " +
             std::to_string(appInfo.size()) + " bytes)";
    return false;
  }
  return true;
}

bool CheckName(const std::vector<uint8_t>& appInfo, const std::string& name, int except,
               std::string* error) {
  if (name.empty() || name.size() > 15) {
    *error = "a category name has 1 to 15 characters: '" + name + "'";
    return false;
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) {
      *error = "a category name holds no control characters";
      return false;
    }
  }
  const int existing = FindCategory(appInfo, name);
  if (existing >= 0 && existing != except) {
    *error = "there is already a category '" + name + "'";
    return false;
  }
  return true;
}

void SetName(std::vector<uint8_t>* appInfo, int index, const std::string& name) {
  uint8_t* slot = appInfo->data() + kNameOffset + index * kNameSize;
  std::memset(slot, 0, kNameSize);
  std::memcpy(slot, name.data(), std::min<size_t>(name.size(), kNameSize - 1));
}

void SetRenamed(std::vector<uint8_t>* appInfo, int index, bool on) {
  uint16_t mask = static_cast<uint16_t>((*appInfo)[0] << 8 | (*appInfo)[1]);
  if (on) {
    mask = static_cast<uint16_t>(mask | (1u << index));
  } else {
    mask = static_cast<uint16_t>(mask & ~(1u << index));
  }
  (*appInfo)[0] = static_cast<uint8_t>(mask >> 8);
  (*appInfo)[1] = static_cast<uint8_t>(mask);
}

}  // namespace

int AddCategory(std::vector<uint8_t>* appInfo, const std::string& name, std::string* error) {
  if (!CheckBlock(*appInfo, error) || !CheckName(*appInfo, name, -1, error)) return -1;
  int index = -1;
  for (int i = 1; i < 16 && index < 0; ++i) {
    if ((*appInfo)[kNameOffset + i * kNameSize] == 0) index = i;
  }
  if (index < 0) {
    *error = "all 15 categories are in use";
    return -1;
  }
  // Handheld IDs run from 1 to 127; the next one after the last given out that is not in use.
  std::vector<bool> used(256, false);
  for (const auto& c : ReadCategories(*appInfo)) used[static_cast<size_t>(c.id)] = true;
  int last = appInfo->size() > kLastIdOffset ? (*appInfo)[kLastIdOffset] : 0;
  int id = 0;
  for (int step = 1; step <= 127 && id == 0; ++step) {
    const int candidate = (last - 1 + step) % 127 + 1;
    if (!used[static_cast<size_t>(candidate)]) id = candidate;
  }
  if (id == 0) {
    *error = "no free category ID";
    return -1;
  }
  SetName(appInfo, index, name);
  (*appInfo)[kIdOffset + index] = static_cast<uint8_t>(id);
  if (appInfo->size() > kLastIdOffset) (*appInfo)[kLastIdOffset] = static_cast<uint8_t>(id);
  SetRenamed(appInfo, index, true);
  return index;
}

bool RenameCategory(std::vector<uint8_t>* appInfo, int index, const std::string& name,
                    std::string* error) {
  if (!CheckBlock(*appInfo, error)) return false;
  if (index <= 0 || index > 15 || (*appInfo)[kNameOffset + index * kNameSize] == 0) {
    *error = index == 0 ? "Unfiled cannot be renamed" : "no such category";
    return false;
  }
  if (!CheckName(*appInfo, name, index, error)) return false;
  SetName(appInfo, index, name);
  SetRenamed(appInfo, index, true);
  return true;
}

bool RemoveCategory(std::vector<uint8_t>* appInfo, int index, std::string* error) {
  if (!CheckBlock(*appInfo, error)) return false;
  if (index <= 0 || index > 15 || (*appInfo)[kNameOffset + index * kNameSize] == 0) {
    *error = index == 0 ? "Unfiled cannot be deleted" : "no such category";
    return false;
  }
  SetName(appInfo, index, "");
  (*appInfo)[kIdOffset + index] = 0;
  SetRenamed(appInfo, index, false);
  return true;
}

std::string FormatDate(int64_t time) {
  return platform::FormatLocal(time, "%Y-%m-%d");
}
std::string FormatClock(int64_t time) {
  return platform::FormatLocal(time, "%H:%M");
}

std::string DescribeRule(const CRepeateDayInfo& rule) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kWeeks[] = {"first", "second", "third", "fourth", "last"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int n = rule.GetInterval();
  auto every = [n](const char* unit) {
    return n == 1 ? std::string("every ") + unit : "every " + std::to_string(n) + " " + unit + "s";
  };
  std::string s;
  switch (rule.GetMyBrand()) {
    case kRepeatDaily:
      s = every("day");
      break;
    case kRepeatWeekly:
      s = every("week") + " on";
      for (int d = 0; d < 7; ++d) {
        if (rule.GetWeekDayMask() & (1 << d)) s += std::string(" ") + kDays[d];
      }
      break;
    case kRepeatMonthlyByDay: {
      const int w = rule.GetWeekIndex();
      const int d = rule.GetDayOfWeek();
      s = every("month") + " on the " + (w >= 0 && w <= 4 ? kWeeks[w] : "?") + " " +
          (d >= 0 && d <= 6 ? kDays[d] : "?");
      break;
    }
    case kRepeatMonthlyByDate:
      s = every("month") + " on day " + std::to_string(rule.GetDayOfMonth());
      break;
    case kRepeatYearlyByDate: {
      const int m = rule.GetMonth();
      s = every("year") + " on " + (m >= 0 && m <= 11 ? kMonths[m] : "?") + " " +
          std::to_string(rule.GetDayOfMonth());
      break;
    }
    default:
      return "no repeat";
  }
  if (rule.GetEndDate() < maxDate() - 86399) s += " until " + FormatDate(rule.GetEndDate());
  return s;
}

}  // namespace velqor::tools
