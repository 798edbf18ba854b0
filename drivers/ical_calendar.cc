#include "drivers/ical_calendar.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

#include "platform/clock.h"
#include "platform/files.h"

namespace velqor::drivers {
namespace {

namespace fs = std::filesystem;

// A rule is followed at most this far, so a rule of every second since 1970 cannot hang a run.
constexpr int kMaxRuleSteps = 1000000;

std::string Owned(char* text) {
  std::string s = text ? text : "";
  icalmemory_free_buffer(text);
  return s;
}

std::string Serialize(icalcomponent* component) {
  return Owned(icalcomponent_as_ical_string_r(component));
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string TzidOf(icalproperty* property) {
  icalparameter* p = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
  const char* tzid = p ? icalparameter_get_tzid(p) : nullptr;
  return tzid ? tzid : "";
}

icaltimetype FromFields(const platform::LocalTime& lt, bool date) {
  icaltimetype t = icaltime_null_time();
  t.year = lt.year;
  t.month = lt.month;
  t.day = lt.day;
  if (date) {
    t.is_date = 1;
  } else {
    t.hour = lt.hour;
    t.minute = lt.minute;
    t.second = lt.second;
  }
  return t;
}

// The profile's zone by its name in TZ, as libical knows it.
icaltimezone* ProfileZone(std::string* name) {
  const char* tz = std::getenv("TZ");
  std::string zone = tz ? tz : "";
  if (!zone.empty() && zone[0] == ':') zone.erase(0, 1);
  if (zone.empty() || zone == "UTC") return nullptr;
  icaltimezone* found = icaltimezone_get_builtin_timezone(zone.c_str());
  if (found) *name = zone;
  return found;
}

}  // namespace

int64_t IcalTime::Epoch() const {
  int64_t t = 0;
  switch (kind) {
    case kDate:
      platform::MakeLocalTime(fields.year, fields.month, fields.day, 0, 0, 0, &t);
      return t;
    case kFloating:
      platform::MakeLocalTime(fields.year, fields.month, fields.day, fields.hour, fields.minute,
                              fields.second, &t);
      return t;
    case kUtc: {
      icaltimetype u = fields;
      u.zone = nullptr;
      return static_cast<int64_t>(icaltime_as_timet_with_zone(u, icaltimezone_get_utc_timezone()));
    }
    case kZoned: {
      icaltimetype u = fields;
      u.zone = nullptr;
      return static_cast<int64_t>(icaltime_as_timet_with_zone(u, zone));
    }
  }
  return 0;
}

IcalTime IcalTime::At(int64_t epoch) const {
  IcalTime out = *this;
  platform::LocalTime lt{};
  switch (kind) {
    case kDate:
    case kFloating:
      platform::BreakDownLocal(epoch, &lt);
      out.fields = FromFields(lt, kind == kDate);
      break;
    case kUtc:
      out.fields = icaltime_from_timet_with_zone(static_cast<time_t>(epoch), 0,
                                                 icaltimezone_get_utc_timezone());
      break;
    case kZoned:
      out.fields = icaltime_from_timet_with_zone(static_cast<time_t>(epoch), 0, zone);
      break;
  }
  out.fields.zone = nullptr;
  return out;
}

std::string IcalTime::RidText() const {
  icaltimetype t = fields;
  t.zone = nullptr;
  if (kind == kUtc || kind == kZoned) {
    t = icaltime_from_timet_with_zone(static_cast<time_t>(Epoch()), 0,
                                      icaltimezone_get_utc_timezone());
  }
  std::string s = icaltime_as_ical_string(t);
  return s;
}

IcalCalendar::~IcalCalendar() {
  for (auto& f : files_) {
    if (f->calendar) icalcomponent_free(f->calendar);
  }
}

icaltimezone* IcalCalendar::ZoneFor(icalcomponent* calendar, const std::string& tzid) const {
  if (tzid.empty()) return nullptr;
  if (icaltimezone* z = icalcomponent_get_timezone(calendar, tzid.c_str())) return z;
  if (icaltimezone* z = icaltimezone_get_builtin_timezone(tzid.c_str())) return z;
  return icaltimezone_get_builtin_timezone_from_tzid(tzid.c_str());
}

bool IcalCalendar::ReadTime(IcalEvent& event, icalproperty* property, IcalTime* out) const {
  if (property == nullptr) return false;
  icalvalue* value = icalproperty_get_value(property);
  if (value == nullptr) return false;
  icaltimetype t = icalvalue_isa(value) == ICAL_PERIOD_VALUE ? icalvalue_get_period(value).start
                                                             : icalvalue_get_datetime(value);
  if (icaltime_is_null_time(t) || !icaltime_is_valid_time(t)) return false;
  IcalTime r;
  r.fields = t;
  if (t.is_date) {
    r.kind = IcalTime::kDate;
  } else if (icaltime_is_utc(t)) {
    r.kind = IcalTime::kUtc;
  } else {
    r.tzid = TzidOf(property);
    if (r.tzid.empty()) {
      r.kind = IcalTime::kFloating;
    } else {
      r.zone = ZoneFor(event.file->calendar, r.tzid);
      if (r.zone == nullptr) return false;
      r.kind = IcalTime::kZoned;
    }
  }
  r.fields.zone = nullptr;
  *out = r;
  return true;
}

void IcalCalendar::EnsureTimezone(IcalFile* file, const std::string& tzid, icaltimezone* zone) {
  if (icalcomponent_get_timezone(file->calendar, tzid.c_str())) return;
  icalcomponent* vtz = icaltimezone_get_component(zone);
  if (vtz == nullptr) return;
  icalcomponent* copy = icalcomponent_new_clone(vtz);
  // The zone's plain name, as other clients write it, instead of libical's own prefix.
  if (icalproperty* p = icalcomponent_get_first_property(copy, ICAL_TZID_PROPERTY)) {
    icalproperty_set_tzid(p, tzid.c_str());
  }
  icalcomponent_add_component(file->calendar, copy);
}

void IcalCalendar::WriteTime(IcalEvent& event, icalcomponent* component, icalproperty_kind kind,
                             const IcalTime& value) {
  icalproperty* p;
  while ((p = icalcomponent_get_first_property(component, kind)) != nullptr &&
         kind != ICAL_RDATE_PROPERTY && kind != ICAL_EXDATE_PROPERTY) {
    icalcomponent_remove_property(component, p);
    icalproperty_free(p);
  }
  icaltimetype t = value.fields;
  t.zone = value.kind == IcalTime::kUtc ? icaltimezone_get_utc_timezone() : nullptr;
  icalproperty* prop = icalproperty_new(kind);
  icalproperty_set_value(
      prop, value.kind == IcalTime::kDate ? icalvalue_new_date(t) : icalvalue_new_datetime(t));
  if (value.kind == IcalTime::kZoned) {
    icalproperty_add_parameter(prop, icalparameter_new_tzid(value.tzid.c_str()));
    EnsureTimezone(event.file, value.tzid, value.zone);
  }
  icalcomponent_add_property(component, prop);
}

IcalTime IcalCalendar::LocalKind(bool untimed) const {
  IcalTime t;
  std::string name;
  if (untimed) {
    t.kind = IcalTime::kDate;
  } else if (icaltimezone* zone = ProfileZone(&name)) {
    t.kind = IcalTime::kZoned;
    t.zone = zone;
    t.tzid = name;
  } else {
    t.kind = IcalTime::kUtc;
  }
  return t;
}

void IcalCalendar::Index(IcalFile* file, std::vector<std::string>* problems) {
  for (icalcomponent* c = icalcomponent_get_first_component(file->calendar, ICAL_VEVENT_COMPONENT);
       c != nullptr; c = icalcomponent_get_next_component(file->calendar, ICAL_VEVENT_COMPONENT)) {
    const char* uidText = icalcomponent_get_uid(c);
    const std::string uid = uidText ? uidText : "";
    if (uid.empty()) {
      problems->push_back(file->path + ": an event without a UID; the file is left untouched");
      continue;
    }
    IcalEvent* event = Find(uid);
    if (event == nullptr) {
      events_.push_back(std::make_unique<IcalEvent>());
      event = events_.back().get();
      event->uid = uid;
      event->file = file;
    } else if (event->file != file) {
      problems->push_back(file->path + ": the UID " + uid + " is in " + event->file->path +
                          " too; both are left untouched");
      continue;
    }
    const bool isOverride =
        icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY) != nullptr;
    if (isOverride) {
      event->overrides.push_back(c);
    } else if (event->master == nullptr) {
      event->master = c;
    } else {
      problems->push_back(file->path + ": the UID " + uid + " has two events; left untouched");
      continue;
    }
    IcalTime start;
    if (!ReadTime(*event, icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY), &start)) {
      problems->push_back(file->path + ": the event " + uid +
                          " has no DTSTART the driver can read (or its zone is unknown); "
                          "left untouched");
    }
  }
}

bool IcalCalendar::LoadFile(const std::string& path, bool mustExist,
                            std::vector<std::string>* problems, std::string* error) {
  platform::FileSystem& files = platform::GetFileSystem();
  auto file = std::make_unique<IcalFile>();
  file->path = path;
  std::string text;
  if (!files.Exists(path)) {
    if (mustExist) {
      *error = path + ": does not exist";
      return false;
    }
    file->calendar = icalcomponent_new(ICAL_VCALENDAR_COMPONENT);
    icalcomponent_add_property(file->calendar, icalproperty_new_prodid("-//velqor//icalhost//EN"));
    icalcomponent_add_property(file->calendar, icalproperty_new_version("2.0"));
    file->isNew = true;
    files_.push_back(std::move(file));
    return true;
  }
  if (!files.ReadAll(path, &text)) {
    *error = path + ": cannot be read";
    return false;
  }
  icalcomponent* parsed = icalparser_parse_string(text.c_str());
  if (parsed == nullptr || icalcomponent_isa(parsed) != ICAL_VCALENDAR_COMPONENT ||
      icalcomponent_count_errors(parsed) > 0) {
    if (parsed) icalcomponent_free(parsed);
    problems->push_back(path + ": does not parse as one iCalendar VCALENDAR; left untouched");
    return true;
  }
  file->calendar = parsed;
  file->written = Serialize(parsed);
  IcalFile* raw = file.get();
  files_.push_back(std::move(file));
  Index(raw, problems);
  return true;
}

bool IcalCalendar::Load(const std::string& path, std::vector<std::string>* problems,
                        std::string* error) {
  path_ = path;
  vdir_ = !EndsWith(path, ".ics");
  if (!vdir_) return LoadFile(path, false, problems, error);
  std::error_code ec;
  if (!fs::is_directory(path, ec)) {
    *error = path + ": the calendar folder does not exist";
    return false;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path, ec)) {
    if (entry.path().extension() == ".ics" && entry.is_regular_file(ec)) {
      names.push_back(entry.path().string());
    }
  }
  if (ec) {
    *error = path + ": the calendar folder cannot be read: " + ec.message();
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    if (!LoadFile(name, true, problems, error)) return false;
  }
  return true;
}

IcalEvent* IcalCalendar::Find(const std::string& uid) {
  for (auto& e : events_) {
    if (e->uid == uid && !e->removed) return e.get();
  }
  return nullptr;
}

IcalEvent* IcalCalendar::Create(const std::string& uid) {
  IcalFile* file;
  if (vdir_) {
    std::string base;
    for (char c : uid) {
      base.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                             c == '.' || c == '@'
                         ? c
                         : '_');
    }
    std::string name = path_ + "/" + base + ".ics";
    platform::FileSystem& files = platform::GetFileSystem();
    for (int i = 1; files.Exists(name) || std::any_of(files_.begin(), files_.end(),
                                                      [&](auto& f) { return f->path == name; });
         ++i) {
      name = path_ + "/" + base + "-" + std::to_string(i) + ".ics";
    }
    std::vector<std::string> none;
    std::string error;
    LoadFile(name, false, &none, &error);
    file = files_.back().get();
  } else {
    file = files_.front().get();
  }
  icalcomponent* vevent = icalcomponent_new(ICAL_VEVENT_COMPONENT);
  icalcomponent_set_uid(vevent, uid.c_str());
  icalcomponent_add_component(file->calendar, vevent);
  events_.push_back(std::make_unique<IcalEvent>());
  IcalEvent* event = events_.back().get();
  event->uid = uid;
  event->file = file;
  event->master = vevent;
  return event;
}

void IcalCalendar::Remove(IcalEvent* event) {
  auto drop = [&](icalcomponent* c) {
    icalcomponent_remove_component(event->file->calendar, c);
    icalcomponent_free(c);
  };
  if (event->master) drop(event->master);
  for (icalcomponent* c : event->overrides) drop(c);
  event->master = nullptr;
  event->overrides.clear();
  event->removed = true;
}

void IcalCalendar::RemoveOverride(IcalEvent* event, const std::string& rid) {
  for (auto it = event->overrides.begin(); it != event->overrides.end(); ++it) {
    IcalTime r;
    if (ReadTime(*event, icalcomponent_get_first_property(*it, ICAL_RECURRENCEID_PROPERTY), &r) &&
        r.RidText() == rid) {
      icalcomponent_remove_component(event->file->calendar, *it);
      icalcomponent_free(*it);
      event->overrides.erase(it);
      return;
    }
  }
}

icalcomponent* IcalCalendar::OverrideFor(IcalEvent* event, const IcalOccurrence& occurrence) {
  for (icalcomponent* c : event->overrides) {
    IcalTime r;
    if (ReadTime(*event, icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY), &r) &&
        r.RidText() == occurrence.rid) {
      return c;
    }
  }
  icalcomponent* copy = icalcomponent_new_clone(event->master);
  for (icalproperty_kind kind :
       {ICAL_RRULE_PROPERTY, ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY, ICAL_EXRULE_PROPERTY,
        ICAL_DTEND_PROPERTY, ICAL_DURATION_PROPERTY}) {
    icalproperty* p;
    while ((p = icalcomponent_get_first_property(copy, kind)) != nullptr) {
      icalcomponent_remove_property(copy, p);
      icalproperty_free(p);
    }
  }
  icalcomponent_add_component(event->file->calendar, copy);
  event->overrides.push_back(copy);
  WriteTime(*event, copy, ICAL_RECURRENCEID_PROPERTY, occurrence.start);
  WriteTime(*event, copy, ICAL_DTSTART_PROPERTY, occurrence.start);
  IcalTime end = occurrence.start.At(occurrence.endTime);
  if (occurrence.untimed) end = occurrence.start.At(platform::AddLocalDays(occurrence.endTime, 1));
  WriteTime(*event, copy, ICAL_DTEND_PROPERTY, end);
  return copy;
}

IcalOccurrence IcalCalendar::Describe(IcalEvent& event, icalcomponent* c, const IcalTime& start,
                                      const std::string& rid) {
  IcalOccurrence o;
  o.event = &event;
  o.component = c;
  o.rid = rid;
  o.start = start;
  o.startTime = start.Epoch();
  o.untimed = start.kind == IcalTime::kDate;
  IcalTime dtstart, dtend;
  int64_t length = o.untimed ? 86400 : 0;
  if (ReadTime(event, icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY), &dtstart) &&
      ReadTime(event, icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY), &dtend)) {
    length = dtend.Epoch() - dtstart.Epoch();
  } else if (icalproperty* d = icalcomponent_get_first_property(c, ICAL_DURATION_PROPERTY)) {
    length = icaldurationtype_as_int(icalproperty_get_duration(d));
  }
  o.endTime = o.startTime + std::max<int64_t>(length, 0);
  return o;
}

IcalTime IcalCalendar::RidTime(const IcalTime& like, const std::string& rid) const {
  icaltimetype t = icaltime_from_string(rid.c_str());
  IcalTime out = like;
  if (t.is_date || like.kind == IcalTime::kFloating || like.kind == IcalTime::kDate) {
    t.zone = nullptr;
    out.fields = t;
    if (like.kind == IcalTime::kDate) out.fields.is_date = 1;
    return out;
  }
  t.zone = nullptr;
  const int64_t epoch =
      static_cast<int64_t>(icaltime_as_timet_with_zone(t, icaltimezone_get_utc_timezone()));
  return like.At(epoch);
}

bool IcalCalendar::Occurrence(IcalEvent& event, const std::string& rid, IcalOccurrence* out) {
  IcalTime start;
  for (icalcomponent* c : event.overrides) {
    IcalTime r;
    if (ReadTime(event, icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY), &r) &&
        r.RidText() == rid &&
        ReadTime(event, icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY), &start)) {
      *out = Describe(event, c, start, rid);
      return true;
    }
  }
  if (event.master == nullptr ||
      !ReadTime(event, icalcomponent_get_first_property(event.master, ICAL_DTSTART_PROPERTY),
                &start)) {
    return false;
  }
  if (rid.empty()) {
    *out = Describe(event, event.master, start, rid);
    return true;
  }
  *out = Describe(event, event.master, RidTime(start, rid), rid);
  return true;
}

void IcalCalendar::Expand(IcalEvent& event, int64_t from, int64_t to,
                          std::vector<IcalOccurrence>* out) {
  auto describe = [&](icalcomponent* c, const IcalTime& start, const std::string& rid) {
    return Describe(event, c, start, rid);
  };
  auto inWindow = [&](int64_t t) { return t >= from && t <= to; };

  std::map<std::string, IcalOccurrence> found;
  if (event.master) {
    icalcomponent* m = event.master;
    IcalTime start;
    if (!ReadTime(event, icalcomponent_get_first_property(m, ICAL_DTSTART_PROPERTY), &start)) {
      return;
    }
    icalproperty* rrule = icalcomponent_get_first_property(m, ICAL_RRULE_PROPERTY);
    icalproperty* rdate = icalcomponent_get_first_property(m, ICAL_RDATE_PROPERTY);
    if (rrule == nullptr && rdate == nullptr) {
      IcalOccurrence o = describe(m, start, "");
      if (inWindow(o.startTime)) out->push_back(o);
      return;
    }
    std::vector<IcalTime> starts = {start};
    if (rrule) {
      starts.clear();
      icalrecurrencetype recur = icalproperty_get_rrule(rrule);
      icaltimetype seed = start.fields;
      seed.zone = nullptr;
      icalrecur_iterator* it = icalrecur_iterator_new(recur, seed);
      if (it) {
        int steps = 0;
        for (icaltimetype next = icalrecur_iterator_next(it);
             !icaltime_is_null_time(next) && steps < kMaxRuleSteps;
             next = icalrecur_iterator_next(it), ++steps) {
          IcalTime t = start;
          t.fields = next;
          t.fields.zone = nullptr;
          const int64_t e = t.Epoch();
          if (e > to) break;
          if (e >= from - 86400 * 400) starts.push_back(t);
        }
        icalrecur_iterator_free(it);
      }
    }
    for (icalproperty* p = rdate; p != nullptr;
         p = icalcomponent_get_next_property(m, ICAL_RDATE_PROPERTY)) {
      IcalTime t;
      if (ReadTime(event, p, &t)) starts.push_back(t);
    }
    for (const IcalTime& t : starts) {
      const std::string rid = t.RidText();
      if (!found.count(rid)) found.emplace(rid, describe(m, t, rid));
    }
    for (icalproperty* p = icalcomponent_get_first_property(m, ICAL_EXDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(m, ICAL_EXDATE_PROPERTY)) {
      IcalTime t;
      if (ReadTime(event, p, &t)) found.erase(t.RidText());
    }
  }
  for (icalcomponent* c : event.overrides) {
    IcalTime rid, start;
    if (!ReadTime(event, icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY), &rid) ||
        !ReadTime(event, icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY), &start)) {
      continue;
    }
    const std::string key = rid.RidText();
    if (event.master && !found.count(key)) continue;  // an override of an excluded occurrence
    IcalOccurrence o = describe(c, start, key);
    found[key] = o;
  }
  for (auto& [rid, o] : found) {
    if (inWindow(o.startTime)) out->push_back(o);
  }
}

bool IcalCalendar::Save(std::string* error) {
  platform::FileSystem& files = platform::GetFileSystem();
  for (auto& f : files_) {
    if (f->calendar == nullptr) continue;
    const bool empty =
        icalcomponent_get_first_component(f->calendar, ICAL_VEVENT_COMPONENT) == nullptr;
    if (vdir_ && empty) {
      // The vdir file of an event that is gone; a new one that never got an event is not made.
      if (!f->isNew && files.Exists(f->path) && !files.Delete(f->path)) {
        *error = f->path + ": cannot be removed";
        return false;
      }
      continue;
    }
    const std::string text = Serialize(f->calendar);
    if (text == f->written && !f->isNew) continue;
    if (!files.WriteAtomically(f->path, text)) {
      *error = f->path + ": cannot be written";
      return false;
    }
    f->written = text;
    f->isNew = false;
  }
  return true;
}

std::string PropertyText(icalcomponent* component, icalproperty_kind kind) {
  icalproperty* p = icalcomponent_get_first_property(component, kind);
  if (p == nullptr) return "";
  icalvalue* v = icalproperty_get_value(p);
  const char* s = v ? icalvalue_get_text(v) : nullptr;
  return s ? s : "";
}

void SetPropertyText(icalcomponent* component, icalproperty_kind kind, const std::string& text) {
  icalproperty* p;
  while ((p = icalcomponent_get_first_property(component, kind)) != nullptr) {
    icalcomponent_remove_property(component, p);
    icalproperty_free(p);
  }
  // An empty text value does not parse back in every client: the property is left out.
  if (text.empty()) return;
  icalproperty* n = icalproperty_new(kind);
  icalproperty_set_value(n, icalvalue_new_text(text.c_str()));
  icalcomponent_add_property(component, n);
}

}  // namespace velqor::drivers
