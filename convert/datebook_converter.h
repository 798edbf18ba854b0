// The Date Book converter: the handheld's own Date Book record and category block.
#pragma once

#include <cstdint>
#include <string>

#include "convert/base_converter.h"

// Layout of the handheld's Date Book record.
inline constexpr uint32_t kRawFixedSize = 8;  // times, date, flags, reserved byte
inline constexpr uint32_t kRawAlarmSize = 2;
inline constexpr uint32_t kRawRepeatSize = 8;
inline constexpr uint8_t kRawFlagAlarm = 0x40;
inline constexpr uint8_t kRawFlagRepeat = 0x20;
inline constexpr uint8_t kRawFlagNote = 0x10;
inline constexpr uint8_t kRawFlagExceptions = 0x08;
inline constexpr uint8_t kRawFlagDescription = 0x04;
inline constexpr uint16_t kRawNoEndDate = 0xFFFF;

// Layout of the category block at the start of the application information block.
inline constexpr uint32_t kCatBlockSize = 274;
inline constexpr uint32_t kCatNamesOffset = 2;
inline constexpr uint32_t kCatNameSize = 16;
inline constexpr uint32_t kCatIdsOffset = 258;
inline constexpr int kCatCount = 16;

class CDateBkConverter : public CBaseConverter {
 public:
  // `record` must be a CDateBkRecord (or derived); anything else is refused with -1.
  // Writes at most raw.capacity bytes: a note, then a description, that would not fit is cut.
  // 4106 when the data buffer does not resolve, 4111 when not even the record without texts
  // fits; otherwise the status of taking the description, or the note when there is one.
  long RecordToRaw(CBaseRecord& record, RawRecord& raw) override;
  // Reads at most min(raw.size, raw.capacity) bytes; a part that would run past them is
  // absent. 0, 4176 (a date before 1970 moved to 1970), 4112 (a record that is not deleted and
  // lacks its fixed part), or a status of the table library.
  long RawToRecord(CBaseRecord& record, RawRecord& raw) override;
  // The block must hold at least its 274 bytes; otherwise 4110 (reading) or 4109 (writing).
  long RawToCategories(CategoryBlockRecord& block, CCategoryMgr& categories) override;
  long CategoriesToRaw(CategoryBlockRecord& block, CCategoryMgr& categories) override;
};

uint16_t SwapWord(uint16_t value);
uint32_t SwapLong(uint32_t value);
// The handheld date word of a time's local date, and its local hour and minute.
void TimeToPackedDate(int32_t time, uint16_t* date, uint8_t* hour, uint8_t* minute);
// Builds the local time of a handheld date word at hour:minute; 0, or 4176 when the year lay
// before 1970 and was moved to 1970.
long PackedDateToTime(uint16_t date, int hour, int minute, int32_t* time);
// Copies a desktop text (CR LF line ends) into `dest` without its CRs: each CR is dropped and
// the byte after it copied whatever it is. The text ends at `length` or at a NUL. At most
// `capacity` bytes are written, the NUL included (nothing when capacity is 0). Returns the
// number of bytes written including the NUL.
uint32_t CopyStripCR(uint8_t* dest, uint32_t capacity, const char* text, uint32_t length);
