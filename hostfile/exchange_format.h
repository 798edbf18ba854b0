// The fixed-width exchange format that the conduit and the host driver pass calendars in.
//
// A file is a four-digit record count followed directly (no line end) by the records. Each
// record is one line:
//
//   offset width  field
//        0     8  record ID, upper-case hexadecimal ("        " keeps the row's own ID)
//        8     4  host number, decimal ("    " keeps the row's own)
//       12     8  start date, YYYYMMDD
//       20     5  start time HH:MM, blank for an untimed event
//       25     5  end time HH:MM, blank for an untimed event
//       30     1  status character: 0 none, 1 added, 2 deleted, 3 modified
//       31     2  alarm advance, "00" for no alarm
//       33     1  alarm unit: 0 minutes, 1 hours, 2 days
//       34     1  repeat flag: 1 for an occurrence of a repeating event
//       35     4  length N of the encoded text
//       39     N  encoded text: description and note in lines of at most 60 characters,
//                 separated by ";"
//     39+N     2  CR LF
//
// Reading is strict where a wrong guess would corrupt the calendar: a field that cannot be what
// its format says fails the whole load instead of leaving a value undefined. Writing refuses a
// value that does not fit its field, so every file written can be read back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/classlib.h"
#include "platform/table/table.h"

namespace velqor::hostfile {

inline constexpr int kLineWidth = 60;            // characters of text between separators
inline constexpr int32_t kMaxFieldValue = 9999;  // largest count, length or host number
inline constexpr int32_t kMaxAlarmAdvance = 99;
inline constexpr int kRecordHeaderWidth = 39;  // everything before the text

// What one record line says, in the conduit's terms.
// A status of the backup file only: a host change the handheld refused, owed to it still. The
// desktop data file that drivers read never carries it.
inline constexpr int32_t kStatusOwed = 16;

struct ExchangeRecord {
  std::optional<RecordId> recordId;   // nullopt: a blank field
  std::optional<int32_t> hostNumber;  // nullopt: a blank field
  int32_t startTime = 0;  // seconds since 1970; an untimed event starts at local midnight
  int32_t endTime = 0;    // on the start's date; equal to the start for an untimed event
  bool untimed = false;
  int32_t status = kStatusNone;  // a SetStatus value
  bool alarmSet = false;
  int32_t alarmAdvance = 0;
  std::optional<int32_t> alarmUnit;  // loading: nullopt for a character outside 0 to 2
  bool repeating = false;
  bool hasText = false;  // loading: the length was above 0
  std::string description;
  std::string note;
  bool isPrivate = false;  // loading: the text starts with a private prefix
};

// The text of a record, split back into its parts.
struct ExchangeText {
  std::string description;
  std::string note;  // lines separated by CR LF
  bool isPrivate = false;
};

// Encodes description and note into the one-line text form. A private record's description
// gains "PERS: " unless it already carries a private prefix.
std::string EncodeText(const std::string& description, const std::string& note, bool isPrivate);
// Splits an encoded text into description and note.
ExchangeText DecodeText(std::string_view encoded);

// The status character a record with this status is written with (deleted wins, pending and
// unknown values write as none), and the status a character loads as.
char StatusCharFor(int32_t status);
int32_t StatusFromChar(char c);

// Fits an alarm advance into two digits: a value above 99 moves to a larger unit when the
// conversion is exact (120 minutes become 2 hours), otherwise it is written as 99 of its unit.
// A unit outside 0 to 2 counts as minutes, as it is written. False for a negative advance.
bool FitAlarmAdvance(int32_t advance, int32_t unit, int32_t* fittedAdvance, int32_t* fittedUnit);

// Decimal and hexadecimal fields: optional leading blanks, at least one digit, optional
// trailing blanks, nothing else (no sign). nullopt for anything else, a blank field included.
std::optional<int32_t> ParseDecimalField(std::string_view field);
std::optional<uint32_t> ParseHexField(std::string_view field);

// Formats one record line, CR LF included, into *out. False, with *out untouched, when a value
// does not fit its field: a host number outside 0 to 9999, an encoded text longer than 9999, a
// negative alarm advance, or a time that cannot be shown as a four-digit year.
bool FormatExchangeRecord(const ExchangeRecord& record, std::string* out);
// Reads one record line at the archive's position. Throws CArchiveException with
// kCauseEndOfFile when the file ends inside the record (a missing final line end is allowed)
// and with kCauseBadFormat when a field is malformed.
ExchangeRecord ReadExchangeRecord(CArchive& archive);

// The four-digit count that starts a file; false above 9999 or below 0.
bool FormatRecordCount(long count, std::string* out);
// Reads the count; throws kCauseEndOfFile for a file shorter than the field and kCauseBadFormat
// for a count that is not a number of records.
int32_t ReadRecordCount(CArchive& archive);

}  // namespace velqor::hostfile
