// The Date Book as the handheld keeps it: appointments decoded from and encoded into the
// handheld's packed records through the record converter, and the category list at the start
// of the application info block, changed the way the handheld's own application changes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory_handheld.h"
#include "platform/table/repeat.h"

namespace velqor::tools {

inline constexpr const char* kDatebookName = "DatebookDB";
inline constexpr uint32_t kCategoryBlockSize = 274;
inline constexpr uint32_t kDatebookAppInfoSize = 280;

struct Appointment {
  int32_t start = 0;  // local date and time of day (00:00 when untimed)
  int32_t end = 0;    // same date
  bool untimed = false;
  bool alarm = false;
  int32_t alarmAdvance = 0;
  int32_t alarmUnit = 0;  // 0 minutes, 1 hours, 2 days
  bool repeats = false;
  CRepeateDayInfo rule;             // its interval is the repeat frequency
  std::vector<int32_t> exceptions;  // local midnights
  std::string description;          // LF line ends
  std::string note;
  bool isPrivate = false;
};

// Decodes a record's data. False with the converter's status for data it refuses; a record
// without data (a deleted one) gives false with "no data".
bool DecodeAppointment(const platform::HandheldRecord& record, Appointment* out,
                       std::string* error);
// The packed form of an appointment; false when it does not fit a handheld record.
bool EncodeAppointment(const Appointment& appointment, std::vector<uint8_t>* data,
                       std::string* error);

struct CategoryEntry {
  int index = 0;
  int id = 0;
  std::string name;
  bool renamed = false;  // the name changed since the last synchronization
};

// A fresh Date Book application info block: Unfiled only, weeks starting on Sunday.
std::vector<uint8_t> NewDatebookAppInfo();
// The used category indexes of a block; an empty list when the block is too short to hold one.
std::vector<CategoryEntry> ReadCategories(const std::vector<uint8_t>& appInfo);
// The index of the category of that name (case-insensitive), -1 when there is none.
int FindCategory(const std::vector<uint8_t>& appInfo, const std::string& name);
// Adds a category at the lowest free index with a new handheld ID, marked renamed. Returns its
// index, or -1 with a reason.
int AddCategory(std::vector<uint8_t>* appInfo, const std::string& name, std::string* error);
bool RenameCategory(std::vector<uint8_t>* appInfo, int index, const std::string& name,
                    std::string* error);
// Frees the index; the caller files its records under Unfiled.
bool RemoveCategory(std::vector<uint8_t>* appInfo, int index, std::string* error);

// Text of a repeat rule ("every 2 weeks on Mon Wed until 2024-06-30").
std::string DescribeRule(const CRepeateDayInfo& rule);
std::string FormatDate(int64_t time);   // YYYY-MM-DD, local
std::string FormatClock(int64_t time);  // HH:MM, local

}  // namespace velqor::tools
