// The host calendar of the reference host driver: one plain text file of events, and the two
// things the driver does with it: extract the events of a window into an exchange table, and
// apply an update table to it.
//
// The file:
//   # comment lines and blank lines are ignored
//   next-number 18          the host number the next new event gets (0 to 9999)
//   event 17                starts an event; the number may be left out, one is then given
//   id 00A00001             the handheld record ID, hexadecimal (none: a host-only event)
//   date 2024-03-05         local date
//   start 09:30             local time; no start: an untimed event
//   end 10:15               same date; no end: ends when it starts
//   alarm 5 minutes         0 to 99 minutes, hours or days before
//   repeating               one occurrence of a repeating handheld event
//   private
//   description Staff meeting   \n is a line break, \\ a backslash
//   note Bring the slides\nRoom 4
//   end
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CVuzurTable;

namespace velqor::drivers {

inline constexpr int32_t kMaxHostNumber = 9999;

struct HostEvent {
  int32_t number = -1;  // -1 until one is given
  uint32_t recordId = 0;
  int32_t start = 0;
  int32_t end = 0;
  bool untimed = false;
  bool alarm = false;
  int32_t alarmAdvance = 0;
  int32_t alarmUnit = 0;  // 0 minutes, 1 hours, 2 days
  bool repeating = false;
  bool isPrivate = false;
  std::string description;  // LF line breaks
  std::string note;
};

struct HostCalendar {
  int32_t nextNumber = 1;
  std::vector<HostEvent> events;

  HostEvent* FindNumber(int32_t number);
  // A number no event has, counting on from nextNumber and wrapping after 9999; -1 when all
  // 10000 are in use. The counter moves past the number given.
  int32_t AllocateNumber();
};

// Parses the text; events without a number get one. False with "line N: ..." for anything
// the driver would have to guess at.
bool ParseCalendar(const std::string& text, HostCalendar* out, std::string* error);
std::string FormatCalendar(const HostCalendar& calendar);
// A missing file is an empty calendar.
bool LoadCalendar(const std::string& path, HostCalendar* out, std::string* error);
// Replaces the file atomically.
bool SaveCalendar(const std::string& path, const HostCalendar& calendar, std::string* error);

// Appends the events of the window (platform::ComputeSyncWindow) to the table in order of their
// start, each as platform::InSyncWindow takes it. False when an event cannot be written.
bool ExtractWindow(const HostCalendar& calendar, int32_t windowStart, int32_t windowEnd,
                   CVuzurTable* table, std::string* error);

struct UpdateCounts {
  int added = 0, modified = 0, deleted = 0, ignored = 0;
};
// Applies the statuses of an update table: added rows become new events with new numbers;
// modified rows replace the event with their host number (record ID included), or become new
// events when it is gone; deleted rows remove the event with their host number unless it
// carries another record ID. False when no number is left for a new event.
bool ApplyUpdate(HostCalendar* calendar, CVuzurTable& update, UpdateCounts* counts,
                 std::string* error);

}  // namespace velqor::drivers
