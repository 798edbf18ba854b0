// The Date Book converter: the handheld's own Date Book record and category block.
#pragma once

#include <cstdint>
#include <string>

#include "convert/base_converter.h"

class CDateBkConverter : public CBaseConverter {
 public:
  // `record` must be a CDateBkRecord (or derived); anything else is refused with -1.
  long RecordToRaw(CBaseRecord& record, RawRecord& raw) override;
  long RawToRecord(CBaseRecord& record, RawRecord& raw) override;
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
