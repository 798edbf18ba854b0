#include "drivers/icalhost_driver.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <vector>

#include "drivers/ical_text.h"
#include "hostfile/exchange_format.h"
#include "hostfile/vuzur_table.h"
#include "platform/clock.h"

namespace velqor::drivers {
namespace {

using hostfile::ExchangeRecord;

constexpr int kLastHandheldYear = 2031;  // the handheld's date word ends there
constexpr int32_t kMaxRecords = 9999;    // the exchange file's count field

int YearOf(int64_t t) {
  platform::LocalTime lt{};
  platform::BreakDownLocal(t, &lt);
  return lt.year;
}

// Host text to the exchange's: Windows-1252 with CR LF line ends.
std::string ToExchange(const std::string& utf8) {
  std::string out;
  for (char c : Utf8ToHandheld(utf8)) {
    if (c == '\r') continue;
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

std::string FromExchange(const std::string& cp1252) {
  std::string out;
  for (char c : cp1252) {
    if (c != '\r') out.push_back(c);
  }
  return HandheldToUtf8(out);
}

bool IsPrivateClass(icalcomponent* c) {
  icalproperty* p = icalcomponent_get_first_property(c, ICAL_CLASS_PROPERTY);
  if (p == nullptr) return false;
  const icalproperty_class k = icalproperty_get_class(p);
  return k == ICAL_CLASS_PRIVATE || k == ICAL_CLASS_CONFIDENTIAL;
}

// The VALARM the record's alarm stands for, and its advance in minutes.
icalcomponent* FirstAlarm(icalcomponent* c, int32_t* minutes) {
  for (icalcomponent* a = icalcomponent_get_first_component(c, ICAL_VALARM_COMPONENT); a != nullptr;
       a = icalcomponent_get_next_component(c, ICAL_VALARM_COMPONENT)) {
    icalproperty* p = icalcomponent_get_first_property(a, ICAL_TRIGGER_PROPERTY);
    if (p == nullptr) continue;
    const icaltriggertype trigger = icalproperty_get_trigger(p);
    if (!icaltime_is_null_time(trigger.time)) continue;  // an absolute time
    icalparameter* related = icalproperty_get_first_parameter(p, ICAL_RELATED_PARAMETER);
    if (related && icalparameter_get_related(related) == ICAL_RELATED_END) continue;
    const int seconds = icaldurationtype_as_int(trigger.duration);
    if (seconds >= 0) continue;
    *minutes = -seconds / 60;
    return a;
  }
  return nullptr;
}

// What the extract says of an occurrence.
ExchangeRecord Project(const IcalOccurrence& o) {
  ExchangeRecord r;
  r.untimed = o.untimed;
  r.startTime =
      platform::ClampTime32(o.untimed ? platform::LocalMidnight(o.startTime) : o.startTime);
  if (o.untimed) {
    r.endTime = r.startTime;
  } else {
    const int64_t lastMoment = o.endTime > o.startTime ? o.endTime - 1 : o.startTime;
    if (platform::LocalMidnight(lastMoment) != platform::LocalMidnight(o.startTime)) {
      // Over several days: the handheld holds it on its first day, to the day's end.
      platform::LocalTime lt{};
      platform::BreakDownLocal(o.startTime, &lt);
      int64_t end = o.startTime;
      platform::MakeLocalTime(lt.year, lt.month, lt.day, 23, 59, 0, &end);
      r.endTime = platform::ClampTime32(end);
    } else {
      r.endTime = platform::ClampTime32(std::max(o.endTime, o.startTime));
    }
  }
  int32_t minutes = 0;
  if (FirstAlarm(o.component, &minutes) && minutes > 0) {
    int32_t advance = 0, unit = 0;
    hostfile::FitAlarmAdvance(minutes, kAlarmMinutes, &advance, &unit);
    r.alarmSet = true;
    r.alarmAdvance = advance;
    r.alarmUnit = unit;
  } else {
    r.alarmUnit = kAlarmMinutes;
  }
  r.isPrivate = IsPrivateClass(o.component);
  r.hasText = true;
  r.description = ToExchange(PropertyText(o.component, ICAL_SUMMARY_PROPERTY));
  r.note = ToExchange(PropertyText(o.component, ICAL_DESCRIPTION_PROPERTY));
  return r;
}

struct Differences {
  bool times = false, text = false, privacy = false, alarm = false;
  bool any() const { return times || text || privacy || alarm; }
};

// Which fields of an update row differ from what the event would be extracted as, compared
// the way the exchange file carries them.
Differences Compare(const ExchangeRecord& host, const ExchangeRecord& row) {
  Differences d;
  auto minute = [](int64_t t, const char* f) { return platform::FormatLocal(t, f); };
  d.times = host.untimed != row.untimed ||
            minute(host.startTime, "%Y%m%d%H%M") != minute(row.startTime, "%Y%m%d%H%M") ||
            (!row.untimed && minute(host.endTime, "%H%M") != minute(row.endTime, "%H%M"));
  const hostfile::ExchangeText carried =
      hostfile::DecodeText(hostfile::EncodeText(host.description, host.note, host.isPrivate));
  d.text = carried.description != row.description || carried.note != row.note;
  d.privacy = carried.isPrivate != row.isPrivate;
  d.alarm = host.alarmSet != row.alarmSet ||
            (row.alarmSet && (host.alarmAdvance != row.alarmAdvance ||
                              host.alarmUnit.value_or(0) != row.alarmUnit.value_or(0)));
  return d;
}

void RemoveProperties(icalcomponent* c, icalproperty_kind kind) {
  icalproperty* p;
  while ((p = icalcomponent_get_first_property(c, kind)) != nullptr) {
    icalcomponent_remove_property(c, p);
    icalproperty_free(p);
  }
}

void Stamp(icalcomponent* c, int64_t now) {
  const icaltimetype t =
      icaltime_from_timet_with_zone(static_cast<time_t>(now), 0, icaltimezone_get_utc_timezone());
  RemoveProperties(c, ICAL_DTSTAMP_PROPERTY);
  RemoveProperties(c, ICAL_LASTMODIFIED_PROPERTY);
  icalcomponent_add_property(c, icalproperty_new_dtstamp(t));
  icalcomponent_add_property(c, icalproperty_new_lastmodified(t));
  if (icalproperty* s = icalcomponent_get_first_property(c, ICAL_SEQUENCE_PROPERTY)) {
    icalproperty_set_sequence(s, icalproperty_get_sequence(s) + 1);
  }
}

// The way a changed time is written: as the event wrote its start, unless the handheld moved
// it between timed and untimed.
IcalTime KindFor(IcalCalendar& calendar, IcalEvent& event, icalcomponent* c, bool untimed) {
  IcalTime start;
  if (calendar.ReadTime(event, icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY),
                        &start) &&
      (start.kind == IcalTime::kDate) == untimed) {
    return start;
  }
  return calendar.LocalKind(untimed);
}

void WriteTimes(IcalCalendar& calendar, IcalEvent& event, icalcomponent* c,
                const ExchangeRecord& row) {
  const IcalTime kind = KindFor(calendar, event, c, row.untimed);
  RemoveProperties(c, ICAL_DURATION_PROPERTY);
  calendar.WriteTime(event, c, ICAL_DTSTART_PROPERTY, kind.At(row.startTime));
  const int64_t end =
      row.untimed ? platform::AddLocalDays(row.startTime, 1) : std::max(row.endTime, row.startTime);
  calendar.WriteTime(event, c, ICAL_DTEND_PROPERTY, kind.At(end));
}

void WriteText(icalcomponent* c, const ExchangeRecord& row) {
  std::string summary = row.description;
  // The exchange format marks privacy in the text; CLASS carries it here.
  if (row.isPrivate && (summary.rfind("PERS:", 0) == 0 || summary.rfind("CONF:", 0) == 0)) {
    summary.erase(0, 5);
    if (!summary.empty() && summary[0] == ' ') summary.erase(0, 1);
  }
  SetPropertyText(c, ICAL_SUMMARY_PROPERTY, FromExchange(summary));
  SetPropertyText(c, ICAL_DESCRIPTION_PROPERTY, FromExchange(row.note));
}

void WritePrivacy(icalcomponent* c, bool isPrivate) {
  RemoveProperties(c, ICAL_CLASS_PROPERTY);
  if (isPrivate) icalcomponent_add_property(c, icalproperty_new_class(ICAL_CLASS_PRIVATE));
}

void WriteAlarm(icalcomponent* c, const ExchangeRecord& row) {
  int32_t ignored = 0;
  icalcomponent* alarm = FirstAlarm(c, &ignored);
  if (!row.alarmSet) {
    if (alarm) {
      icalcomponent_remove_component(c, alarm);
      icalcomponent_free(alarm);
    }
    return;
  }
  static constexpr int kUnitSeconds[] = {60, 3600, 86400};
  const int32_t unit = std::clamp(row.alarmUnit.value_or(0), 0, 2);
  const icaldurationtype before = icaldurationtype_from_int(-row.alarmAdvance * kUnitSeconds[unit]);
  if (alarm == nullptr) {
    alarm = icalcomponent_new(ICAL_VALARM_COMPONENT);
    icalcomponent_add_property(alarm, icalproperty_new_action(ICAL_ACTION_DISPLAY));
    icalcomponent_add_property(alarm, icalproperty_new_description("Reminder"));
    icalcomponent_add_component(c, alarm);
  }
  RemoveProperties(alarm, ICAL_TRIGGER_PROPERTY);
  icaltriggertype trigger = icaltriggertype_from_int(0);
  trigger.duration = before;
  icalcomponent_add_property(alarm, icalproperty_new_trigger(trigger));
}

void WriteAll(IcalCalendar& calendar, IcalEvent& event, icalcomponent* c, const ExchangeRecord& row,
              const Differences& d) {
  if (d.times) WriteTimes(calendar, event, c, row);
  if (d.text) WriteText(c, row);
  if (d.privacy) WritePrivacy(c, row.isPrivate);
  if (d.alarm) WriteAlarm(c, row);
}

struct Row {
  ExchangeRecord fields;
  int32_t status = 0;
};

class Updater {
 public:
  Updater(IcalCalendar& calendar, IcalState& state, const std::string& userId, int64_t now,
          IcalUpdateCounts* counts)
      : cal_(calendar), state_(state), user_(userId), now_(now), counts_(counts) {
    if (!state_.GetWindow(&windowStart_, &windowEnd_)) {
      windowStart_ = windowEnd_ = 0;
    }
  }

  bool Single(const Row& row, std::string* error);
  bool Series(uint32_t recordId, const std::vector<const Row*>& rows, std::string* error);

 private:
  std::optional<OccurrenceKey> KeyFor(const Row& row, bool byNumber);
  bool Create(const Row& row, std::string* error);

  IcalCalendar& cal_;
  IcalState& state_;
  std::string user_;
  int64_t now_;
  IcalUpdateCounts* counts_;
  int64_t windowStart_ = 0, windowEnd_ = 0;
};

std::optional<OccurrenceKey> Updater::KeyFor(const Row& row, bool byNumber) {
  const uint32_t id = row.fields.recordId.value_or(0);
  if (id != 0) {
    if (auto key = state_.KeyOfRecordId(id)) return key;
  }
  if (byNumber && row.fields.hostNumber) {
    if (auto key = state_.KeyOfNumber(*row.fields.hostNumber)) {
      // A number now held by another handheld record is not this event.
      const auto held = state_.RecordIdOf(*key);
      if (!held || id == 0 || *held == id) return key;
    }
  }
  if (id != 0 && cal_.Find(HandheldUid(id, user_))) {
    return OccurrenceKey{HandheldUid(id, user_), ""};
  }
  return std::nullopt;
}

bool Updater::Create(const Row& row, std::string* error) {
  const uint32_t id = row.fields.recordId.value_or(0);
  std::string uid = HandheldUid(id, user_);
  for (int i = 1; cal_.Find(uid); ++i) uid = HandheldUid(id, user_) + "-" + std::to_string(i);
  IcalEvent* event = cal_.Create(uid);
  Differences all;
  all.times = all.text = all.privacy = all.alarm = true;
  WriteAll(cal_, *event, event->master, row.fields, all);
  Stamp(event->master, now_);
  if (id != 0 && !state_.BindRecordId({uid, ""}, id)) {
    *error = "the driver's state cannot be updated";
    return false;
  }
  ++counts_->added;
  return true;
}

bool Updater::Single(const Row& row, std::string* error) {
  const int32_t status = row.status;
  if (status != kStatusAdded && status != kStatusModified && status != kStatusDeleted) {
    return true;
  }
  const uint32_t id = row.fields.recordId.value_or(0);
  const std::optional<OccurrenceKey> key = KeyFor(row, status != kStatusAdded);
  IcalEvent* event = key ? cal_.Find(key->uid) : nullptr;
  if (event && key->rid.empty() && event->master && state_.SeriesRecordId(event->uid).has_value()) {
    // The handheld made its repeating event a single one: the series keeps its past.
    state_.ForgetSeries(*state_.SeriesRecordId(event->uid));
    event = nullptr;
  }
  if (status == kStatusDeleted) {
    if (event == nullptr) {
      ++counts_->ignored;
      return true;
    }
    if (key->rid.empty()) {
      cal_.Remove(event);
      state_.ForgetEvent(key->uid);
    } else {
      IcalOccurrence o;
      if (event->master && cal_.Occurrence(*event, key->rid, &o)) {
        IcalTime master;
        cal_.ReadTime(*event,
                      icalcomponent_get_first_property(event->master, ICAL_DTSTART_PROPERTY),
                      &master);
        bool listed = false;
        for (icalproperty* p =
                 icalcomponent_get_first_property(event->master, ICAL_EXDATE_PROPERTY);
             p != nullptr;
             p = icalcomponent_get_next_property(event->master, ICAL_EXDATE_PROPERTY)) {
          IcalTime t;
          if (cal_.ReadTime(*event, p, &t) && t.RidText() == key->rid) listed = true;
        }
        if (!listed) {
          cal_.WriteTime(*event, event->master, ICAL_EXDATE_PROPERTY,
                         cal_.RidTime(master, key->rid));
          Stamp(event->master, now_);
        }
      }
      cal_.RemoveOverride(event, key->rid);
      if (event->master == nullptr && event->overrides.empty()) cal_.Remove(event);
      state_.Forget(*key);
    }
    ++counts_->deleted;
    return true;
  }
  if (event == nullptr) return Create(row, error);
  IcalOccurrence o;
  if (!cal_.Occurrence(*event, key->rid, &o)) return Create(row, error);
  const Differences d = Compare(Project(o), row.fields);
  if (d.any()) {
    icalcomponent* c = key->rid.empty() ? o.component : cal_.OverrideFor(event, o);
    WriteAll(cal_, *event, c, row.fields, d);
    Stamp(c, now_);
    ++counts_->modified;
  } else {
    ++counts_->unchanged;
  }
  if (id != 0 && !state_.BindRecordId(*key, id)) {
    *error = "the driver's state cannot be updated";
    return false;
  }
  return true;
}

bool Updater::Series(uint32_t recordId, const std::vector<const Row*>& rows, std::string* error) {
  std::vector<const Row*> added;
  for (const Row* r : rows) {
    if (r->status == kStatusAdded || r->status == kStatusModified) added.push_back(r);
  }
  std::sort(added.begin(), added.end(),
            [](const Row* a, const Row* b) { return a->fields.startTime < b->fields.startTime; });
  IcalEvent* event = nullptr;
  bool wasSeries = false;
  if (auto uid = state_.SeriesUid(recordId)) {
    event = cal_.Find(*uid);
    wasSeries = event != nullptr;
  }
  if (event == nullptr) {
    auto key = state_.KeyOfRecordId(recordId);
    if (key && key->rid.empty()) event = cal_.Find(key->uid);
  }
  if (event == nullptr) event = cal_.Find(HandheldUid(recordId, user_));
  if (event && event->master == nullptr) event = nullptr;
  if (added.empty() && !wasSeries) {
    // Nothing of this series is on the host: the rows only retire the extract's occurrences.
    ++counts_->ignored;
    return true;
  }

  // The occurrences the handheld does not speak for: those outside the window.
  std::vector<int64_t> starts;
  IcalTime kind;
  bool haveKind = false;
  if (event && wasSeries) {
    std::vector<IcalOccurrence> all;
    cal_.Expand(*event, INT32_MIN, INT32_MAX, &all);
    for (const auto& o : all) {
      const int64_t day = platform::LocalMidnight(o.startTime);
      if (day < windowStart_ || day > windowEnd_) starts.push_back(o.startTime);
    }
  }
  if (added.empty()) {
    if (starts.empty()) {
      cal_.Remove(event);
      state_.ForgetEvent(event->uid);
      ++counts_->deleted;
      return true;
    }
  }
  if (event == nullptr) {
    event = cal_.Create(HandheldUid(recordId, user_));
    Stamp(event->master, now_);
  } else if (event->master) {
    IcalTime start;
    haveKind = cal_.ReadTime(
        *event, icalcomponent_get_first_property(event->master, ICAL_DTSTART_PROPERTY), &start);
    kind = start;
  }
  icalcomponent* m = event->master;
  // The template: what the handheld says of every occurrence.
  ExchangeRecord model;
  int64_t length = 0;
  if (!added.empty()) {
    model = added.front()->fields;
    length = model.untimed ? 0 : std::max(0, model.endTime - model.startTime);
    for (const Row* r : added) starts.push_back(r->fields.startTime);
  } else {
    IcalOccurrence o;
    cal_.Occurrence(*event, "", &o);
    model = Project(o);
    length = model.untimed ? 0 : std::max(0, model.endTime - model.startTime);
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  // Every occurrence shares the model's time of day.
  std::vector<int64_t> aligned;
  platform::LocalTime modelTime{};
  platform::BreakDownLocal(model.startTime, &modelTime);
  for (int64_t s : starts) {
    platform::LocalTime lt{};
    platform::BreakDownLocal(s, &lt);
    int64_t t = s;
    platform::MakeLocalTime(lt.year, lt.month, lt.day, model.untimed ? 0 : modelTime.hour,
                            model.untimed ? 0 : modelTime.minute, 0, &t);
    aligned.push_back(t);
  }
  std::sort(aligned.begin(), aligned.end());
  aligned.erase(std::unique(aligned.begin(), aligned.end()), aligned.end());

  const std::string text = [&] {
    char* s = icalcomponent_as_ical_string_r(event->file->calendar);
    std::string t = s ? s : "";
    icalmemory_free_buffer(s);
    return t;
  }();

  if (!haveKind || (kind.kind == IcalTime::kDate) != model.untimed) {
    kind = cal_.LocalKind(model.untimed);
  }
  // Text, privacy and alarm as the master is extracted now, so unchanged ones stay as they are.
  {
    IcalOccurrence o;
    Differences d;
    if (wasSeries && cal_.Occurrence(*event, "", &o)) {
      d = Compare(Project(o), model);
      d.times = false;
    } else {
      d.text = d.privacy = d.alarm = true;
    }
    WriteAll(cal_, *event, m, model, d);
  }
  for (icalproperty_kind k : {ICAL_RRULE_PROPERTY, ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY,
                              ICAL_EXRULE_PROPERTY, ICAL_DURATION_PROPERTY}) {
    RemoveProperties(m, k);
  }
  while (!event->overrides.empty()) {
    icalcomponent* c = event->overrides.back();
    event->overrides.pop_back();
    icalcomponent_remove_component(event->file->calendar, c);
    icalcomponent_free(c);
  }
  cal_.WriteTime(*event, m, ICAL_DTSTART_PROPERTY, kind.At(aligned.front()));
  const int64_t end =
      model.untimed ? platform::AddLocalDays(aligned.front(), 1) : aligned.front() + length;
  cal_.WriteTime(*event, m, ICAL_DTEND_PROPERTY, kind.At(end));
  for (size_t i = 1; i < aligned.size(); ++i) {
    cal_.WriteTime(*event, m, ICAL_RDATE_PROPERTY, kind.At(aligned[i]));
  }
  const std::string after = [&] {
    char* s = icalcomponent_as_ical_string_r(event->file->calendar);
    std::string t = s ? s : "";
    icalmemory_free_buffer(s);
    return t;
  }();
  if (after != text) {
    Stamp(m, now_);
    ++counts_->modified;
  } else {
    ++counts_->unchanged;
  }
  if (!state_.BindSeries(recordId, event->uid)) {
    *error = "the driver's state cannot be updated";
    return false;
  }
  return true;
}

}  // namespace

std::string HandheldUid(uint32_t recordId, const std::string& userId) {
  char id[16];
  std::snprintf(id, sizeof id, "%08X", recordId);
  std::string user;
  for (char c : userId) {
    user.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '-');
  }
  return std::string("velqor-") + id + "-" + user;
}

bool ExtractIcal(IcalCalendar& calendar, IcalState& state, int64_t windowStart, int64_t windowEnd,
                 CVuzurTable* table, std::string* error) {
  if (!state.StartRound(error)) return false;
  struct Out {
    ExchangeRecord fields;
    OccurrenceKey key;
  };
  std::vector<Out> chosen;
  for (const auto& e : calendar.events()) {
    if (e->removed) continue;
    const std::optional<uint32_t> series = state.SeriesRecordId(e->uid);
    std::vector<IcalOccurrence> found;
    // Occurrences of a handheld series count by their day, like the conduit's own.
    calendar.Expand(*e, windowStart, windowEnd + (series ? 86399 : 0), &found);
    for (const IcalOccurrence& o : found) {
      const int64_t when = series ? platform::LocalMidnight(o.startTime) : o.startTime;
      if (when < windowStart || when > windowEnd) continue;
      if (YearOf(o.startTime) > kLastHandheldYear) continue;
      Out out;
      out.key = {e->uid, o.rid};
      out.fields = Project(o);
      out.fields.repeating = series.has_value();
      out.fields.recordId = series ? *series : state.RecordIdOf(out.key).value_or(0);
      chosen.push_back(out);
    }
  }
  if (chosen.size() > static_cast<size_t>(kMaxRecords)) {
    *error = "the window holds " + std::to_string(chosen.size()) +
             " events, more than an exchange file carries (9999); shorten the window";
    return false;
  }
  // The conduit matches the occurrences of one event by day, in ascending order.
  std::stable_sort(chosen.begin(), chosen.end(), [](const Out& a, const Out& b) {
    return a.fields.startTime != b.fields.startTime ? a.fields.startTime < b.fields.startTime
                                                    : a.key < b.key;
  });
  CVuzurRecord rec(*table, 0);
  for (Out& o : chosen) {
    const int32_t number = state.TakeNumber(o.key);
    if (number < 0) {
      *error = "no host number is left for the window's events";
      return false;
    }
    o.fields.hostNumber = number;
    if (table->AppendBlankRecord(rec) != 0 || rec.SetExchangeFields(o.fields) != 0) {
      *error = "the event " + o.key.uid + " cannot be written to the exchange file";
      return false;
    }
  }
  if (!state.SetWindow(windowStart, windowEnd)) {
    *error = "the driver's state cannot be updated";
    return false;
  }
  return true;
}

bool UpdateIcal(IcalCalendar& calendar, IcalState& state, CVuzurTable& update,
                const std::string& userId, int64_t now, IcalUpdateCounts* counts,
                std::string* error) {
  std::vector<Row> rows;
  {
    CVuzurRecord rec(update, 0);
    CBaseIterator it(update);
    for (long s = it.FindFirst(rec); s == kTblOk; s = it.FindNext(rec)) {
      Row row;
      if (rec.GetExchangeFields(&row.fields) != 0) {
        ++counts->ignored;
        continue;
      }
      rec.GetStatus(row.status);
      rows.push_back(row);
    }
  }
  Updater updater(calendar, state, userId, now, counts);
  std::map<uint32_t, std::vector<const Row*>> series;
  for (const Row& row : rows) {
    if (row.fields.repeating && row.fields.recordId.value_or(0) != 0) {
      series[*row.fields.recordId].push_back(&row);
    }
  }
  for (const auto& [id, list] : series) {
    if (!updater.Series(id, list, error)) return false;
  }
  for (const Row& row : rows) {
    if (row.fields.repeating && row.fields.recordId.value_or(0) != 0) continue;
    if (!updater.Single(row, error)) return false;
  }
  return true;
}

}  // namespace velqor::drivers
