#include "drivers/host_calendar.h"

#include <algorithm>
#include <cstdio>

#include "hostfile/vuzur_table.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace velqor::drivers {
namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    } else if (c == '\n' || c == '\r') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return false;
    if (text[i] == 'n') {
      out->push_back('\n');
    } else if (text[i] == '\\') {
      out->push_back('\\');
    } else {
      return false;
    }
  }
  return true;
}

// LF line breaks to the desktop's CR LF, and back.
std::string ToDesktop(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

std::string FromDesktop(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

bool ParseNumber(const std::string& text, int64_t max, int64_t* value) {
  if (text.empty() || text.size() > 10) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

bool ParseHex(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

bool ParseDateFields(const std::string& t, int* y, int* m, int* d) {
  int64_t yy, mm, dd;
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return false;
  if (!ParseNumber(t.substr(0, 4), 9999, &yy) || !ParseNumber(t.substr(5, 2), 12, &mm) ||
      !ParseNumber(t.substr(8, 2), 31, &dd) || mm < 1 || dd < 1) {
    return false;
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (yy % 4 == 0 && yy % 100 != 0) || yy % 400 == 0;
  if (dd > kDays[mm - 1] || (mm == 2 && dd == 29 && !leap)) return false;
  *y = static_cast<int>(yy);
  *m = static_cast<int>(mm);
  *d = static_cast<int>(dd);
  return true;
}

bool ParseClockFields(const std::string& t, int* h, int* m) {
  int64_t hh, mm;
  if (t.size() != 5 || t[2] != ':' || !ParseNumber(t.substr(0, 2), 23, &hh) ||
      !ParseNumber(t.substr(3, 2), 59, &mm)) {
    return false;
  }
  *h = static_cast<int>(hh);
  *m = static_cast<int>(mm);
  return true;
}

struct Draft {
  HostEvent event;
  bool hasDate = false, hasStart = false, hasEnd = false;
  int y = 0, mo = 0, d = 0, sh = 0, sm = 0, eh = 0, em = 0;
  int line = 0;
};

bool Finish(Draft& draft, std::string* error) {
  auto bad = [&](const std::string& message) {
    *error = "line " + std::to_string(draft.line) + ": event " + message;
    return false;
  };
  if (!draft.hasDate) return bad("without a date");
  if (draft.hasEnd && !draft.hasStart) return bad("with an end but no start");
  HostEvent& e = draft.event;
  e.untimed = !draft.hasStart;
  if (!draft.hasEnd) {
    draft.eh = draft.sh;
    draft.em = draft.sm;
  }
  if (draft.eh * 60 + draft.em < draft.sh * 60 + draft.sm) return bad("that ends before it starts");
  int64_t start = 0, end = 0;
  if (!platform::MakeLocalTime(draft.y, draft.mo, draft.d, draft.sh, draft.sm, 0, &start) ||
      !platform::MakeLocalTime(draft.y, draft.mo, draft.d, draft.eh, draft.em, 0, &end) ||
      start < INT32_MIN || end > INT32_MAX) {
    return bad("whose date the calendar cannot hold");
  }
  e.start = static_cast<int32_t>(start);
  e.end = static_cast<int32_t>(end);
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

}  // namespace

HostEvent* HostCalendar::FindNumber(int32_t number) {
  for (auto& e : events) {
    if (e.number == number) return &e;
  }
  return nullptr;
}

int32_t HostCalendar::AllocateNumber() {
  std::vector<bool> used(kMaxHostNumber + 1, false);
  for (const auto& e : events) {
    if (e.number >= 0 && e.number <= kMaxHostNumber) used[static_cast<size_t>(e.number)] = true;
  }
  int32_t candidate = nextNumber < 0 || nextNumber > kMaxHostNumber ? 0 : nextNumber;
  for (int32_t i = 0; i <= kMaxHostNumber; ++i) {
    const int32_t n = (candidate + i) % (kMaxHostNumber + 1);
    if (!used[static_cast<size_t>(n)]) {
      nextNumber = (n + 1) % (kMaxHostNumber + 1);
      return n;
    }
  }
  return -1;
}

bool ParseCalendar(const std::string& text, HostCalendar* out, std::string* error) {
  HostCalendar cal;
  bool inEvent = false;
  Draft draft;
  std::vector<size_t> unnumbered;
  size_t pos = 0;
  int lineNo = 0;
  auto bad = [&](const std::string& message) {
    *error = "line " + std::to_string(lineNo) + ": " + message;
    return false;
  };
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    const std::string line = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;
    const size_t sp = line.find(' ');
    const std::string key = line.substr(0, sp);
    const std::string value = sp == std::string::npos ? "" : Trim(line.substr(sp + 1));
    if (!inEvent) {
      int64_t n;
      if (key == "next-number") {
        if (!ParseNumber(value, kMaxHostNumber, &n)) return bad("next-number is not 0 to 9999");
        cal.nextNumber = static_cast<int32_t>(n);
      } else if (key == "event") {
        inEvent = true;
        draft = Draft();
        draft.line = lineNo;
        if (!value.empty()) {
          if (!ParseNumber(value, kMaxHostNumber, &n)) return bad("event number is not 0 to 9999");
          if (cal.FindNumber(static_cast<int32_t>(n)))
            return bad("event number " + value + " is taken");
          draft.event.number = static_cast<int32_t>(n);
        }
      } else {
        return bad("expected 'event' or 'next-number', found '" + key + "'");
      }
      continue;
    }
    HostEvent& e = draft.event;
    if (key == "end" && value.empty()) {
      if (!Finish(draft, error)) return false;
      if (e.number < 0) unnumbered.push_back(cal.events.size());
      cal.events.push_back(e);
      inEvent = false;
    } else if (key == "id") {
      if (!ParseHex(value, &e.recordId)) return bad("id is not a hexadecimal record ID");
    } else if (key == "date") {
      if (!ParseDateFields(value, &draft.y, &draft.mo, &draft.d))
        return bad("not a date YYYY-MM-DD");
      draft.hasDate = true;
    } else if (key == "start") {
      if (!ParseClockFields(value, &draft.sh, &draft.sm)) return bad("start is not HH:MM");
      draft.hasStart = true;
    } else if (key == "end") {
      if (!ParseClockFields(value, &draft.eh, &draft.em)) return bad("end is not HH:MM");
      draft.hasEnd = true;
    } else if (key == "alarm") {
      const size_t s2 = value.find(' ');
      int64_t n;
      if (!ParseNumber(value.substr(0, s2), 99, &n)) return bad("alarm is not 0 to 99 of a unit");
      const std::string unit = s2 == std::string::npos ? "minutes" : Trim(value.substr(s2 + 1));
      if (unit == "minutes")
        e.alarmUnit = 0;
      else if (unit == "hours")
        e.alarmUnit = 1;
      else if (unit == "days")
        e.alarmUnit = 2;
      else
        return bad("alarm unit is not minutes, hours or days");
      e.alarm = true;
      e.alarmAdvance = static_cast<int32_t>(n);
    } else if (key == "repeating" && value.empty()) {
      e.repeating = true;
    } else if (key == "private" && value.empty()) {
      e.isPrivate = true;
    } else if (key == "description") {
      if (!Unescape(value, &e.description)) return bad("a backslash other than \\n or \\\\");
    } else if (key == "note") {
      if (!Unescape(value, &e.note)) return bad("a backslash other than \\n or \\\\");
    } else {
      return bad("unknown event line '" + key + "'");
    }
  }
  if (inEvent) {
    lineNo = draft.line;
    return bad("event without its 'end' line");
  }
  for (size_t index : unnumbered) {
    const int32_t n = cal.AllocateNumber();
    if (n < 0) {
      *error = "all 10000 host numbers are in use";
      return false;
    }
    cal.events[index].number = n;
  }
  *out = std::move(cal);
  return true;
}

std::string FormatCalendar(const HostCalendar& cal) {
  std::string s = "# host calendar\nnext-number " + std::to_string(cal.nextNumber) + "\n";
  for (const auto& e : cal.events) {
    s += "\nevent " + std::to_string(e.number) + "\n";
    if (e.recordId != 0) {
      char id[16];
      std::snprintf(id, sizeof id, "%08X", e.recordId);
      s += std::string("id ") + id + "\n";
    }
    s += "date " + platform::FormatLocal(e.start, "%Y-%m-%d") + "\n";
    if (!e.untimed) {
      s += "start " + platform::FormatLocal(e.start, "%H:%M") + "\n";
      s += "end " + platform::FormatLocal(e.end, "%H:%M") + "\n";
    }
    if (e.alarm) {
      static const char* const kUnits[] = {"minutes", "hours", "days"};
      s += "alarm " + std::to_string(e.alarmAdvance) + " " +
           kUnits[e.alarmUnit >= 0 && e.alarmUnit <= 2 ? e.alarmUnit : 0] + "\n";
    }
    if (e.repeating) s += "repeating\n";
    if (e.isPrivate) s += "private\n";
    s += "description " + Escape(e.description) + "\n";
    if (!e.note.empty()) s += "note " + Escape(e.note) + "\n";
    s += "end\n";
  }
  return s;
}

bool LoadCalendar(const std::string& path, HostCalendar* out, std::string* error) {
  platform::FileSystem& fs = platform::GetFileSystem();
  if (!fs.Exists(path)) {
    *out = HostCalendar();
    return true;
  }
  std::string text;
  if (!fs.ReadAll(path, &text)) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string why;
  if (!ParseCalendar(text, out, &why)) {
    *error = path + ": " + why;
    return false;
  }
  return true;
}

bool SaveCalendar(const std::string& path, const HostCalendar& calendar, std::string* error) {
  if (!platform::GetFileSystem().WriteAtomically(path, FormatCalendar(calendar))) {
    *error = path + ": cannot be written";
    return false;
  }
  return true;
}

bool ExtractWindow(const HostCalendar& calendar, int32_t windowStart, int32_t windowEnd,
                   CVuzurTable* table, std::string* error) {
  std::vector<const HostEvent*> chosen;
  for (const auto& e : calendar.events) {
    if (platform::InSyncWindow(e.start, e.repeating, windowStart, windowEnd)) chosen.push_back(&e);
  }
  // The conduit matches the occurrences of one event by day, in ascending order.
  std::stable_sort(chosen.begin(), chosen.end(), [](const HostEvent* a, const HostEvent* b) {
    return a->start != b->start ? a->start < b->start : a->number < b->number;
  });
  CVuzurRecord rec(*table, 0);
  for (const HostEvent* e : chosen) {
    if (table->AppendBlankRecord(rec) != 0) {
      *error = "the extract table refused a record";
      return false;
    }
    velqor::hostfile::ExchangeRecord f;
    f.recordId = e->recordId;
    f.hostNumber = e->number;
    f.startTime = e->start;
    f.endTime = e->untimed ? e->start : e->end;
    f.untimed = e->untimed;
    f.status = kStatusNone;
    f.alarmSet = e->alarm && e->alarmAdvance > 0;
    f.alarmAdvance = f.alarmSet ? e->alarmAdvance : 0;
    f.alarmUnit = e->alarmUnit;
    f.repeating = e->repeating;
    f.hasText = true;
    f.description = ToDesktop(e->description);
    f.note = ToDesktop(e->note);
    f.isPrivate = e->isPrivate;
    if (rec.SetExchangeFields(f) != 0) {
      *error = "event " + std::to_string(e->number) + " cannot be written";
      return false;
    }
  }
  return true;
}

namespace {

// The event that holds the handheld record `incoming` comes from: the single event with its
// record ID, or for an occurrence of a repeating event the occurrence on the same day.
HostEvent* FindHandheldEvent(HostCalendar* calendar, const HostEvent& incoming) {
  if (incoming.recordId == 0) return nullptr;
  for (HostEvent& e : calendar->events) {
    if (e.recordId != incoming.recordId || e.repeating != incoming.repeating) continue;
    if (!incoming.repeating ||
        platform::LocalMidnight(e.start) == platform::LocalMidnight(incoming.start)) {
      return &e;
    }
  }
  return nullptr;
}

}  // namespace

bool ApplyUpdate(HostCalendar* calendar, CVuzurTable& update, UpdateCounts* counts,
                 std::string* error) {
  CVuzurRecord rec(update, 0);
  CBaseIterator it(update);
  for (long s = it.FindFirst(rec); s == kTblOk; s = it.FindNext(rec)) {
    velqor::hostfile::ExchangeRecord f;
    if (rec.GetExchangeFields(&f) != 0) {
      ++counts->ignored;
      continue;
    }
    int32_t status = 0;
    rec.GetStatus(status);
    HostEvent incoming;
    incoming.recordId = f.recordId.value_or(0);
    incoming.start = f.startTime;
    incoming.end = f.untimed ? f.startTime : f.endTime;
    incoming.untimed = f.untimed;
    incoming.alarm = f.alarmSet;
    incoming.alarmAdvance = f.alarmSet ? f.alarmAdvance : 0;
    incoming.alarmUnit = f.alarmUnit.value_or(0);
    incoming.repeating = f.repeating;
    incoming.isPrivate = f.isPrivate;
    incoming.description = FromDesktop(f.description);
    incoming.note = FromDesktop(f.note);
    HostEvent* existing = f.hostNumber ? calendar->FindNumber(*f.hostNumber) : nullptr;
    if (status == kStatusDeleted) {
      // A number that now belongs to another handheld record is not this event.
      if (existing && (incoming.recordId == 0 || existing->recordId == 0 ||
                       existing->recordId == incoming.recordId)) {
        const int32_t number = existing->number;
        calendar->events.erase(
            std::remove_if(calendar->events.begin(), calendar->events.end(),
                           [number](const HostEvent& e) { return e.number == number; }),
            calendar->events.end());
        ++counts->deleted;
      } else {
        ++counts->ignored;
      }
    } else if (status == kStatusModified && existing) {
      incoming.number = existing->number;
      *existing = incoming;
      ++counts->modified;
    } else if (HostEvent* same = (status == kStatusAdded || status == kStatusModified)
                                     ? FindHandheldEvent(calendar, incoming)
                                     : nullptr) {
      // The host already holds this handheld record (the same update file delivered again after
      // a run that could not learn it was applied): updated, never added twice.
      incoming.number = same->number;
      *same = incoming;
      ++counts->modified;
    } else if (status == kStatusAdded || status == kStatusModified) {
      incoming.number = calendar->AllocateNumber();
      if (incoming.number < 0) {
        *error = "all 10000 host numbers are in use";
        return false;
      }
      calendar->events.push_back(incoming);
      ++counts->added;
    }
  }
  return true;
}

}  // namespace velqor::drivers
