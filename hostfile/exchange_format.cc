#include "hostfile/exchange_format.h"

#include <cstdio>
#include <limits>

#include "platform/clock.h"

namespace velqor::hostfile {
namespace {

using velqor::platform::MakeLocalTime;

constexpr std::string_view kPrivatePrefix = "PERS:";
constexpr std::string_view kConfidentialPrefix = "CONF:";

bool HasPrivatePrefix(std::string_view text) {
  return text.substr(0, 5) == kPrivatePrefix || text.substr(0, 5) == kConfidentialPrefix;
}

bool IsBlank(std::string_view field) {
  return field.find_first_not_of(' ') == field.npos;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Digits of `field` in `base`, between optional blanks; nullopt when anything else is there or
// the value does not fit `limit`.
std::optional<uint64_t> ParseField(std::string_view field, int base, uint64_t limit) {
  size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  const size_t first = i;
  uint64_t value = 0;
  for (; i < field.size(); ++i) {
    const int digit = HexDigit(field[i]);
    if (digit < 0 || digit >= base) break;
    value = value * base + digit;
    if (value > limit) return std::nullopt;
  }
  if (i == first) return std::nullopt;
  while (i < field.size() && field[i] == ' ') ++i;
  if (i != field.size()) return std::nullopt;
  return value;
}

[[noreturn]] void Fail(int32_t cause) {
  throw CArchiveException(cause);
}

// A field of `width` bytes. The buffer starts blank so nothing undefined is ever looked at; a
// field the file ends inside is an early end of the file, not a field of blanks.
std::string ReadField(CArchive& archive, uint32_t width) {
  std::string field(width, ' ');
  if (width > 0 && archive.Read(field.data(), width) != width) Fail(kCauseEndOfFile);
  return field;
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

struct Date {
  int year, month, day;
};

std::optional<Date> ParseDate(std::string_view field) {
  const auto year = ParseDecimalField(field.substr(0, 4));
  const auto month = ParseDecimalField(field.substr(4, 2));
  const auto day = ParseDecimalField(field.substr(6, 2));
  if (!year || !month || !day || *year < 1 || *month < 1 || *month > 12 || *day < 1 ||
      *day > DaysInMonth(*year, *month)) {
    return std::nullopt;
  }
  return Date{*year, *month, *day};
}

struct ClockTime {
  int hour, minute;
};

std::optional<ClockTime> ParseTime(std::string_view field) {
  if (field.size() != 5 || field[2] != ':') return std::nullopt;
  const auto hour = ParseDecimalField(field.substr(0, 2));
  const auto minute = ParseDecimalField(field.substr(3, 2));
  if (!hour || !minute || *hour > 23 || *minute > 59) return std::nullopt;
  return ClockTime{*hour, *minute};
}

// A local time on `date`, or a format failure when the platform cannot represent it in 32 bits.
int32_t LocalTimeOn(const Date& date, const ClockTime& time) {
  int64_t t = 0;
  if (!MakeLocalTime(date.year, date.month, date.day, time.hour, time.minute, 0, &t) ||
      t < std::numeric_limits<int32_t>::min() || t > std::numeric_limits<int32_t>::max()) {
    Fail(kCauseBadFormat);
  }
  return static_cast<int32_t>(t);
}

std::string Decimal(const char* format, long value) {
  char buffer[24];
  const int n = std::snprintf(buffer, sizeof buffer, format, value);
  return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

// Appends `value` (0 or more, below 10^width) as `width` decimal digits with leading zeros.
// Every line of a file passes here several times; snprintf and strftime cost more than the
// rest of the line.
void AppendDigits(std::string* out, int64_t value, int width) {
  char digits[20];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out->append(digits, static_cast<size_t>(width));
}

// "HH:MM" of a broken-down local time.
void AppendClock(std::string* out, const velqor::platform::LocalTime& t) {
  AppendDigits(out, t.hour, 2);
  out->push_back(':');
  AppendDigits(out, t.minute, 2);
}

}  // namespace

std::string EncodeText(const std::string& description, const std::string& note, bool isPrivate) {
  std::string text = description;
  if (isPrivate && !HasPrivatePrefix(text)) text = "PERS: " + text;
  if (!note.empty()) text += "\r\n" + note;

  std::string encoded;
  encoded.reserve(text.size() + text.size() / kLineWidth + 1);
  int count = 0;  // characters since the last separator
  for (const char c : text) {
    // A full line ends before the next character is looked at, even when that one is a line end.
    if (count == kLineWidth) {
      encoded += ';';
      count = 0;
    }
    if (c == '\n') continue;
    if (c == '\r') {
      encoded += ';';
      count = 0;
      continue;
    }
    encoded += c == ';' ? ':' : c;
    ++count;
  }
  return encoded;
}

ExchangeText DecodeText(std::string_view encoded) {
  ExchangeText text;
  text.isPrivate = HasPrivatePrefix(encoded);
  const size_t separator = encoded.find(';');
  std::string_view note;
  if ((separator != encoded.npos && separator > static_cast<size_t>(kLineWidth)) ||
      (separator == encoded.npos && encoded.size() > static_cast<size_t>(kLineWidth))) {
    // A description longer than a line was cut at the line width: the rest is all note.
    text.description = std::string(encoded.substr(0, kLineWidth));
    note = encoded.substr(kLineWidth);
  } else if (separator != encoded.npos) {
    text.description = std::string(encoded.substr(0, separator));
    note = encoded.substr(separator + 1);
  } else {
    text.description = std::string(encoded);
  }
  text.note.reserve(note.size() * 2);
  for (const char c : note) {
    if (c == ';') {
      text.note += "\r\n";
    } else {
      text.note += c;
    }
  }
  return text;
}

char StatusCharFor(int32_t status) {
  switch (status) {
    case kStatusDeleted:
      return '2';
    case kStatusAdded:
      return '1';
    case kStatusModified:
      return '3';
    case kStatusOwed:
      return '9';
    default:
      return '0';
  }
}

int32_t StatusFromChar(char c) {
  switch (c) {
    case '1':
      return kStatusAdded;
    case '2':
      return kStatusDeleted;
    case '3':
      return kStatusModified;
    case '9':
      return kStatusOwed;
    default:
      return kStatusNone;
  }
}

bool FitAlarmAdvance(int32_t advance, int32_t unit, int32_t* fittedAdvance, int32_t* fittedUnit) {
  if (advance < 0) return false;
  const int32_t ownUnit = unit == kAlarmHours || unit == kAlarmDays ? unit : kAlarmMinutes;
  int32_t value = advance;
  int32_t valueUnit = ownUnit;
  while (value > kMaxAlarmAdvance && valueUnit < kAlarmDays) {
    const int32_t factor = valueUnit == kAlarmMinutes ? 60 : 24;
    if (value % factor != 0) break;
    value /= factor;
    ++valueUnit;
  }
  if (value > kMaxAlarmAdvance) {
    value = kMaxAlarmAdvance;
    valueUnit = ownUnit;
  }
  *fittedAdvance = value;
  *fittedUnit = valueUnit;
  return true;
}

std::optional<int32_t> ParseDecimalField(std::string_view field) {
  const auto value = ParseField(field, 10, std::numeric_limits<int32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<uint32_t> ParseHexField(std::string_view field) {
  const auto value = ParseField(field, 16, std::numeric_limits<uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

bool FormatExchangeRecord(const ExchangeRecord& record, std::string* out) {
  std::string line;
  line.reserve(kRecordHeaderWidth + 2 + record.description.size() + record.note.size());

  if (record.recordId) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) line += kHex[(*record.recordId >> shift) & 0xF];
  } else {
    line.append(8, ' ');
  }

  if (record.hostNumber) {
    if (*record.hostNumber < 0 || *record.hostNumber > kMaxFieldValue) return false;
    AppendDigits(&line, *record.hostNumber, 4);
  } else {
    line.append(4, ' ');
  }

  velqor::platform::LocalTime start{};
  if (!velqor::platform::BreakDownLocal(record.startTime, &start) || start.year < 1000 ||
      start.year > 9999) {
    return false;
  }
  AppendDigits(&line, start.year, 4);
  AppendDigits(&line, start.month, 2);
  AppendDigits(&line, start.day, 2);

  if (record.untimed) {
    line.append(10, ' ');
  } else {
    velqor::platform::LocalTime end{};
    if (!velqor::platform::BreakDownLocal(record.endTime, &end)) return false;
    AppendClock(&line, start);
    AppendClock(&line, end);
  }

  line += StatusCharFor(record.status);

  if (record.alarmSet) {
    int32_t advance = 0;
    int32_t unit = kAlarmMinutes;
    if (!FitAlarmAdvance(record.alarmAdvance, record.alarmUnit.value_or(kAlarmMinutes), &advance,
                         &unit)) {
      return false;
    }
    AppendDigits(&line, advance, 2);
    line += static_cast<char>('0' + unit);
  } else {
    line += "000";
  }

  line += record.repeating ? '1' : '0';

  const std::string text = EncodeText(record.description, record.note, record.isPrivate);
  if (text.size() > static_cast<size_t>(kMaxFieldValue)) return false;
  AppendDigits(&line, static_cast<int64_t>(text.size()), 4);
  line += text;
  line += "\r\n";

  *out = std::move(line);
  return true;
}

ExchangeRecord ReadExchangeRecord(CArchive& archive) {
  ExchangeRecord record;

  const std::string id = ReadField(archive, 8);
  if (!IsBlank(id)) {
    const auto value = ParseHexField(id);
    if (!value) Fail(kCauseBadFormat);
    record.recordId = *value;
  }

  const std::string host = ReadField(archive, 4);
  if (!IsBlank(host)) {
    const auto value = ParseDecimalField(host);
    if (!value) Fail(kCauseBadFormat);
    record.hostNumber = *value;
  }

  const auto date = ParseDate(ReadField(archive, 8));
  if (!date) Fail(kCauseBadFormat);

  const std::string startField = ReadField(archive, 5);
  const std::string endField = ReadField(archive, 5);
  if (IsBlank(startField)) {
    // An untimed event spans its day from local midnight; its end equals its start so that the
    // same event converted from the handheld compares equal.
    record.untimed = true;
    record.startTime = LocalTimeOn(*date, ClockTime{0, 0});
    record.endTime = record.startTime;
  } else {
    const auto start = ParseTime(startField);
    if (!start) Fail(kCauseBadFormat);
    record.startTime = LocalTimeOn(*date, *start);
    if (IsBlank(endField)) {
      record.endTime = record.startTime;
    } else {
      const auto end = ParseTime(endField);
      if (!end) Fail(kCauseBadFormat);
      record.endTime = LocalTimeOn(*date, *end);
    }
  }

  record.status = StatusFromChar(static_cast<char>(archive.ReadByte()));

  const std::string advance = ReadField(archive, 2);
  if (advance != "00") {
    // Anything that is not a number of units cannot be an alarm.
    const auto value = ParseDecimalField(advance);
    if (value) {
      record.alarmSet = true;
      record.alarmAdvance = *value;
    }
  }

  const char unit = static_cast<char>(archive.ReadByte());
  if (unit >= '0' && unit <= '2') record.alarmUnit = unit - '0';

  record.repeating = archive.ReadByte() == '1';

  const auto length = ParseDecimalField(ReadField(archive, 4));
  if (!length) Fail(kCauseBadFormat);
  if (*length > 0) {
    // At most 9999 bytes by the width of the field; a file holding fewer ends early.
    const std::string encoded = ReadField(archive, static_cast<uint32_t>(*length));
    ExchangeText text = DecodeText(encoded);
    record.hasText = true;
    record.description = std::move(text.description);
    record.note = std::move(text.note);
    record.isPrivate = text.isPrivate;
  }

  // The line end is not looked at; the last one of a file may be missing.
  char lineEnd[2];
  archive.Read(lineEnd, sizeof lineEnd);
  return record;
}

bool FormatRecordCount(long count, std::string* out) {
  if (count < 0 || count > kMaxFieldValue) return false;
  *out = Decimal("%04ld", count);
  return true;
}

int32_t ReadRecordCount(CArchive& archive) {
  const auto count = ParseDecimalField(ReadField(archive, 4));
  if (!count) Fail(kCauseBadFormat);
  return *count;
}

}  // namespace velqor::hostfile
