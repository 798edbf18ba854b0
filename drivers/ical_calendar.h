// A calendar of iCalendar events on disk, read and written with libical: either a vdir (a
// folder of .ics files, one event each, as khal and vdirsyncer keep them) or one .ics file
// holding many events. Events are grouped by UID: the VEVENT itself and its RECURRENCE-ID
// overrides. Files are written only when their content changed, always atomically.
#pragma once

#include <libical/ical.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velqor::drivers {

// A DTSTART-like value with what it was written in: a date, a floating time, UTC or a zone.
struct IcalTime {
  enum Kind { kDate, kFloating, kUtc, kZoned };
  Kind kind = kFloating;
  icaltimetype fields = icaltime_null_time();  // as written, in its own zone
  icaltimezone* zone = nullptr;                // kZoned only
  std::string tzid;                            // kZoned only: the TZID as written

  // Seconds since 1970; dates and floating times are taken in the local zone (TZ).
  int64_t Epoch() const;
  // The same moment (a date: the local day of it) written the way this value is written.
  IcalTime At(int64_t epoch) const;
  // The key of an occurrence that starts here: UTC for zoned and UTC times, as written else.
  std::string RidText() const;
};

struct IcalFile {
  std::string path;
  icalcomponent* calendar = nullptr;  // the VCALENDAR (owned)
  std::string written;                // its text as read or last written
  bool isNew = false;
};

struct IcalEvent {
  std::string uid;
  IcalFile* file = nullptr;
  icalcomponent* master = nullptr;  // null when the file holds only overrides
  std::vector<icalcomponent*> overrides;
  bool removed = false;
};

// One occurrence of an event.
struct IcalOccurrence {
  IcalEvent* event = nullptr;
  icalcomponent* component = nullptr;  // the master or the override that describes it
  std::string rid;                     // empty for an event that does not repeat
  IcalTime start;                      // as the component (or the rule) gives it
  int64_t startTime = 0;               // seconds since 1970
  int64_t endTime = 0;
  bool untimed = false;
};

class IcalCalendar {
 public:
  IcalCalendar() = default;
  ~IcalCalendar();
  IcalCalendar(const IcalCalendar&) = delete;
  IcalCalendar& operator=(const IcalCalendar&) = delete;

  // A path ending in ".ics" is one file (missing: empty); anything else a vdir, which must
  // exist. Files that do not parse and events without DTSTART land in *problems and make the
  // calendar read-only for this run. False only when the calendar cannot be read at all.
  bool Load(const std::string& path, std::vector<std::string>* problems, std::string* error);
  // Writes every file whose text changed, removes vdir files whose last event was removed.
  bool Save(std::string* error);

  bool vdir() const { return vdir_; }
  const std::vector<std::unique_ptr<IcalEvent>>& events() const { return events_; }
  IcalEvent* Find(const std::string& uid);
  // A new event with an empty VEVENT (its UID set); in a vdir, in a new file named
  // after the UID.
  IcalEvent* Create(const std::string& uid);
  void Remove(IcalEvent* event);
  // Removes the override of one occurrence, if there is one.
  void RemoveOverride(IcalEvent* event, const std::string& rid);
  // The override of the occurrence, made from the master when there is none.
  icalcomponent* OverrideFor(IcalEvent* event, const IcalOccurrence& occurrence);

  // The occurrences of the event that start from `from` to `to` (both included). Occurrences
  // of a rule are searched up to `to` only.
  void Expand(IcalEvent& event, int64_t from, int64_t to, std::vector<IcalOccurrence>* out);
  // One occurrence by its key, wherever it lies; false when the event has no such occurrence
  // the driver can read.
  bool Occurrence(IcalEvent& event, const std::string& rid, IcalOccurrence* out);
  // The start of an occurrence key written the way `like` is written.
  IcalTime RidTime(const IcalTime& like, const std::string& rid) const;

  // Reads DTSTART, DTEND, RECURRENCE-ID, RDATE or EXDATE values with their zone; false when
  // the property is missing or its zone is unknown.
  bool ReadTime(IcalEvent& event, icalproperty* property, IcalTime* out) const;
  // Writes a value into a property of the event's component, TZID included; a zone the file
  // does not define gets its VTIMEZONE.
  void WriteTime(IcalEvent& event, icalcomponent* component, icalproperty_kind kind,
                 const IcalTime& value);
  // A time in the profile's zone (TZ) when libical knows it, else UTC.
  IcalTime LocalKind(bool untimed) const;

 private:
  bool LoadFile(const std::string& path, bool mustExist, std::vector<std::string>* problems,
                std::string* error);
  void Index(IcalFile* file, std::vector<std::string>* problems);
  icaltimezone* ZoneFor(icalcomponent* calendar, const std::string& tzid) const;
  void EnsureTimezone(IcalFile* file, const std::string& tzid, icaltimezone* zone);
  IcalOccurrence Describe(IcalEvent& event, icalcomponent* component, const IcalTime& start,
                          const std::string& rid);

  bool vdir_ = false;
  std::string path_;
  std::vector<std::unique_ptr<IcalFile>> files_;
  std::vector<std::unique_ptr<IcalEvent>> events_;
  std::vector<std::string> removedFiles_;
};

// Text of a component's property, empty when it is missing.
std::string PropertyText(icalcomponent* component, icalproperty_kind kind);
void SetPropertyText(icalcomponent* component, icalproperty_kind kind, const std::string& text);

}  // namespace velqor::drivers
