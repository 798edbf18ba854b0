// hotsync handheld: the Date Book as the handheld holds it, and the changes a user makes on the
// handheld itself, with the marks the handheld's own application sets.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/clock.h"
#include "platform/files.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/datebook_db.h"
#include "tools/pdb_file.h"
#include "tools/profile.h"
#include "tools/sync_report.h"

namespace velqor::tools {
namespace {

const char kHandheldHelp[] =
    "usage: hotsync handheld PROFILE COMMAND ...\n"
    "  list [--json] [--all]        the Date Book (--all: deleted records and marks too)\n"
    "  add --date YYYY-MM-DD [appointment options]    prints the new record's ID\n"
    "  edit ID [appointment options]\n"
    "  delete ID [--archive]        marks the record deleted (--archive: kept for archiving)\n"
    "  categories [--json]          the category list\n"
    "  category add NAME | category rename NAME NEW | category delete NAME\n"
    "  import FILE.pdb [--replace]  installs a database file on the handheld (--replace: also\n"
    "                               one that is not a Date Book under the Date Book's name)\n"
    "  export FILE.pdb [--db NAME]  writes a database (default the Date Book) to a file\n"
    "Appointment options:\n"
    "  --date YYYY-MM-DD  --start HH:MM  --end HH:MM  --untimed\n"
    "  --desc TEXT  --note TEXT  --no-note  --private  --public  --category NAME\n"
    "  --alarm N[m|h|d]  --no-alarm\n"
    "  --repeat daily|weekly|monthly-by-day|monthly-by-date|yearly  --no-repeat\n"
    "  --every N  --until YYYY-MM-DD  --forever  --on Sun,Mon,...  --except YYYY-MM-DD\n"
    "IDs are decimal or 0x hexadecimal.\n";

const std::vector<OptionSpec> kAppointmentOptions = {
    {"date", true},     {"start", true},      {"end", true},      {"untimed", false},
    {"desc", true},     {"note", true},       {"no-note", false}, {"private", false},
    {"public", false},  {"category", true},   {"alarm", true},    {"no-alarm", false},
    {"repeat", true},   {"no-repeat", false}, {"every", true},    {"until", true},
    {"forever", false}, {"on", true},         {"except", true},   {"json", false},
    {"all", false},     {"archive", false},   {"db", true},       {"replace", false}};

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

struct Loaded {
  ProfilePaths paths;
  ProfileLock lock;
  HandheldStore store;
  platform::HandheldDatabase* db = nullptr;
};

// A command that changes the handheld holds the profile's lock from before it reads until it
// has written, and first completes what a killed run left.
bool LoadHandheld(const std::string& root, const std::string& command, bool writes, Loaded* out,
                  int* status) {
  std::string error;
  out->paths = PathsOf(root);
  const int64_t now = std::time(nullptr);
  if (!CheckProfile(out->paths, &error) ||
      (writes && !out->lock.Acquire(out->paths, "hotsync handheld " + command, now, &error)) ||
      !out->store.Load(out->paths.handheld, &error) ||
      (writes && !out->store.Recover(now, &error))) {
    *status = Failure(error);
    return false;
  }
  out->db = out->store.Find(kDatebookName);
  if (out->db == nullptr) {
    *status = Failure(out->paths.handheld + ": the handheld has no Date Book (DatebookDB)");
    return false;
  }
  return true;
}

bool SaveHandheld(Loaded& loaded, int* status) {
  std::string error;
  if (!loaded.store.Save(std::time(nullptr), nullptr, &error)) {
    *status = Failure(error);
    return false;
  }
  return true;
}

std::optional<uint32_t> ParseId(const std::string& text) {
  auto n = ParseInteger(text);
  if (!n || *n <= 0 || *n > 0xFFFFFF) return std::nullopt;
  return static_cast<uint32_t>(*n);
}

std::string CategoryName(const platform::HandheldDatabase& db, int index) {
  for (const auto& c : ReadCategories(db.appInfo)) {
    if (c.index == index) return c.name;
  }
  return index == 0 ? "Unfiled" : "#" + std::to_string(index);
}

const char* UnitName(int32_t unit) {
  return unit == 1 ? "hours" : unit == 2 ? "days" : "minutes";
}

const char* BrandName(eRepeateBrand brand) {
  switch (brand) {
    case kRepeatDaily:
      return "daily";
    case kRepeatWeekly:
      return "weekly";
    case kRepeatMonthlyByDay:
      return "monthly-by-day";
    case kRepeatMonthlyByDate:
      return "monthly-by-date";
    case kRepeatYearlyByDate:
      return "yearly";
    default:
      return "none";
  }
}

std::string Attributes(const platform::HandheldRecord& r) {
  std::string s;
  if (r.attributes & kAttrDeleted) s += "deleted ";
  if (r.attributes & kAttrDirty) s += "dirty ";
  if (r.attributes & kAttrBusy) s += "busy ";
  if (r.attributes & kAttrPrivate) s += "private ";
  if ((r.attributes & kAttrDeleted) && (r.attributes & kAttrArchive)) {
    s += "archive ";
  }
  if (!s.empty()) s.pop_back();
  return s;
}

std::string RecordJson(const platform::HandheldDatabase& db, const platform::HandheldRecord& r,
                       bool all) {
  std::string j = "{\"id\": " + std::to_string(r.id);
  const bool deleted = (r.attributes & kAttrDeleted) != 0;
  if (!deleted) {
    j += ", \"category\": " + JsonString(CategoryName(db, r.category)) +
         ", \"categoryIndex\": " + std::to_string(r.category);
  }
  if (all) {
    char attr[8];
    std::snprintf(attr, sizeof attr, "0x%02x", r.attributes | (deleted ? 0 : r.category));
    j += ", \"attributes\": " + JsonString(attr) + ", \"marks\": " + JsonString(Attributes(r)) +
         ", \"size\": " + std::to_string(r.data.size());
  }
  Appointment a;
  std::string error;
  if (!DecodeAppointment(r, &a, &error)) {
    return j + ", \"error\": " + JsonString(error) + "}";
  }
  j += ", \"date\": " + JsonString(FormatDate(a.start));
  if (a.untimed) {
    j += ", \"untimed\": true, \"start\": null, \"end\": null";
  } else {
    j += ", \"untimed\": false, \"start\": " + JsonString(FormatClock(a.start)) +
         ", \"end\": " + JsonString(FormatClock(a.end));
  }
  if (a.alarm) {
    j += ", \"alarm\": {\"advance\": " + std::to_string(a.alarmAdvance) +
         ", \"unit\": " + JsonString(UnitName(a.alarmUnit)) + "}";
  } else {
    j += ", \"alarm\": null";
  }
  if (a.repeats) {
    const CRepeateDayInfo& rule = a.rule;
    j += ", \"repeat\": {\"type\": " + JsonString(BrandName(rule.GetMyBrand())) +
         ", \"every\": " + std::to_string(rule.GetInterval()) + ", \"until\": " +
         (rule.GetEndDate() >= maxDate() - 86399 ? std::string("null")
                                                 : JsonString(FormatDate(rule.GetEndDate())));
    if (rule.GetMyBrand() == kRepeatWeekly) {
      j += ", \"on\": [";
      bool firstDay = true;
      for (int d = 0; d < 7; ++d) {
        if (!(rule.GetWeekDayMask() & (1 << d))) continue;
        j += std::string(firstDay ? "" : ", ") + JsonString(kDayNames[d]);
        firstDay = false;
      }
      j += "]";
    }
    j += ", \"text\": " + JsonString(DescribeRule(rule)) + "}";
  } else {
    j += ", \"repeat\": null";
  }
  j += ", \"exceptions\": [";
  for (size_t i = 0; i < a.exceptions.size(); ++i) {
    j += std::string(i ? ", " : "") + JsonString(FormatDate(a.exceptions[i]));
  }
  j += "], \"private\": " + std::string(a.isPrivate ? "true" : "false") +
       ", \"description\": " + JsonString(a.description) + ", \"note\": " + JsonString(a.note) +
       "}";
  return j;
}

int List(Loaded& loaded, const ParsedArgs& args) {
  const bool all = args.Has("all");
  const platform::HandheldDatabase& db = *loaded.db;
  if (args.Has("json")) {
    std::printf("[");
    bool firstRecord = true;
    for (const auto& r : db.records) {
      if (!all && (r.attributes & kAttrDeleted)) continue;
      std::printf("%s\n  %s", firstRecord ? "" : ",", RecordJson(db, r, all).c_str());
      firstRecord = false;
    }
    std::printf("%s]\n", firstRecord ? "" : "\n");
    return kExitClean;
  }
  std::printf("%8s  %-10s  %-11s  %-15s  %-5s  %s\n", "ID", "Date", "Time", "Category", "Flags",
              "Description");
  int shown = 0;
  for (const auto& r : db.records) {
    const bool deleted = (r.attributes & kAttrDeleted) != 0;
    if (!all && deleted) continue;
    ++shown;
    Appointment a;
    std::string error;
    const std::string category = deleted ? std::string("-") : CategoryName(db, r.category);
    if (!DecodeAppointment(r, &a, &error)) {
      std::printf("%8u  %-10s  %-11s  %-15s  %-5s  (%s)", r.id, "-", "-", category.c_str(), "",
                  error.c_str());
    } else {
      std::string flags;
      flags += a.alarm ? 'A' : '-';
      flags += a.repeats ? 'R' : '-';
      flags += a.exceptions.empty() ? '-' : 'E';
      flags += a.note.empty() ? '-' : 'N';
      flags += a.isPrivate ? 'P' : '-';
      const std::string when =
          a.untimed ? std::string("untimed") : FormatClock(a.start) + "-" + FormatClock(a.end);
      std::string text = a.description.substr(0, a.description.find('\n'));
      std::printf("%8u  %-10s  %-11s  %-15s  %-5s  %s", r.id, FormatDate(a.start).c_str(),
                  when.c_str(), category.c_str(), flags.c_str(), text.c_str());
      if (a.repeats) std::printf("  [%s]", DescribeRule(a.rule).c_str());
    }
    if (all) std::printf("  {%s}", Attributes(r).c_str());
    std::printf("\n");
  }
  if (shown == 0) std::printf("(no appointments)\n");
  return kExitClean;
}

// Applies the appointment options to `a`; `creating` requires a date.
bool ApplyOptions(const ParsedArgs& args, const platform::HandheldDatabase& db, bool creating,
                  Appointment* a, int* category, std::string* error) {
  auto bad = [&](const std::string& message) {
    *error = message;
    return false;
  };
  int y = 0, mo = 0, d = 0;
  int64_t day = platform::LocalMidnight(a->start);
  if (args.Has("date")) {
    int64_t t;
    if (!ParseLocalDate(args.Get("date"), &t))
      return bad("--date: not a date YYYY-MM-DD: " + args.Get("date"));
    ParseDate(args.Get("date"), &y, &mo, &d);
    if (y < 1970 || y > 2031) return bad("--date: the handheld holds dates from 1970 to 2031");
    day = t;
  } else if (creating) {
    return bad("--date: an appointment needs a date");
  }
  if (args.Has("untimed") && (args.Has("start") || args.Has("end"))) {
    return bad("--untimed excludes --start and --end");
  }
  platform::LocalTime oldStart{}, oldEnd{};
  platform::BreakDownLocal(a->start, &oldStart);
  platform::BreakDownLocal(a->end, &oldEnd);
  int sh = oldStart.hour, sm = oldStart.minute, eh = oldEnd.hour, em = oldEnd.minute, sec;
  bool untimed = creating ? true : a->untimed;
  if (args.Has("start")) {
    if (!ParseClock(args.Get("start"), &sh, &sm, &sec))
      return bad("--start: not a time HH:MM: " + args.Get("start"));
    untimed = false;
    if (!args.Has("end") && (a->untimed || creating)) {
      eh = sh;
      em = sm;
    }
  }
  if (args.Has("end")) {
    if (!ParseClock(args.Get("end"), &eh, &em, &sec))
      return bad("--end: not a time HH:MM: " + args.Get("end"));
    if (untimed) return bad("--end: an untimed appointment has no end; give --start too");
  }
  if (args.Has("untimed")) untimed = true;
  if (untimed) {
    sh = sm = eh = em = 0;
  } else if (eh * 60 + em < sh * 60 + sm) {
    return bad("--end: the appointment ends before it starts");
  }
  platform::LocalTime dayFields{};
  platform::BreakDownLocal(day, &dayFields);
  int64_t start = 0, end = 0;
  platform::MakeLocalTime(dayFields.year, dayFields.month, dayFields.day, sh, sm, 0, &start);
  platform::MakeLocalTime(dayFields.year, dayFields.month, dayFields.day, eh, em, 0, &end);
  a->start = platform::ClampTime32(start);
  a->end = platform::ClampTime32(end);
  a->untimed = untimed;

  if (args.Has("desc")) a->description = args.Get("desc");
  if (args.Has("note") && args.Has("no-note")) return bad("--note excludes --no-note");
  if (args.Has("note")) a->note = args.Get("note");
  if (args.Has("no-note")) a->note.clear();
  if (args.Has("private") && args.Has("public")) return bad("--private excludes --public");
  if (args.Has("private")) a->isPrivate = true;
  if (args.Has("public")) a->isPrivate = false;
  if (args.Has("category")) {
    const int index = FindCategory(db.appInfo, args.Get("category"));
    if (index < 0) return bad("--category: no category " + args.Get("category"));
    *category = index;
  }
  if (args.Has("alarm") && args.Has("no-alarm")) return bad("--alarm excludes --no-alarm");
  if (args.Has("alarm")) {
    std::string text = args.Get("alarm");
    int32_t unit = 0;
    if (!text.empty() && (text.back() == 'm' || text.back() == 'h' || text.back() == 'd')) {
      unit = text.back() == 'm' ? 0 : text.back() == 'h' ? 1 : 2;
      text.pop_back();
    }
    auto n = ParseInteger(text);
    if (!n || *n < 0 || *n > 99)
      return bad("--alarm: not 0 to 99 minutes, hours (h) or days (d): " + args.Get("alarm"));
    a->alarm = true;
    a->alarmAdvance = static_cast<int32_t>(*n);
    a->alarmUnit = unit;
  }
  if (args.Has("no-alarm")) a->alarm = false;

  if (args.Has("repeat") && args.Has("no-repeat")) return bad("--repeat excludes --no-repeat");
  if (args.Has("no-repeat")) {
    a->repeats = false;
    a->exceptions.clear();
  }
  const bool ruleOptions = args.Has("every") || args.Has("until") || args.Has("forever") ||
                           args.Has("on") || args.Has("except");
  if (!args.Has("repeat") && !a->repeats && ruleOptions) {
    return bad("--every, --until, --on and --except need a repeating appointment (--repeat)");
  }
  if (args.Has("repeat") || (a->repeats && ruleOptions) || (a->repeats && args.Has("date"))) {
    eRepeateBrand brand = a->repeats ? a->rule.GetMyBrand() : kRepeatDaily;
    if (args.Has("repeat")) {
      const std::string r = args.Get("repeat");
      if (r == "daily")
        brand = kRepeatDaily;
      else if (r == "weekly")
        brand = kRepeatWeekly;
      else if (r == "monthly-by-day")
        brand = kRepeatMonthlyByDay;
      else if (r == "monthly-by-date")
        brand = kRepeatMonthlyByDate;
      else if (r == "yearly")
        brand = kRepeatYearlyByDate;
      else
        return bad("--repeat: not daily, weekly, monthly-by-day, monthly-by-date or yearly: " + r);
    }
    int32_t interval = a->repeats ? a->rule.GetInterval() : 1;
    if (args.Has("every")) {
      auto n = ParseInteger(args.Get("every"));
      if (!n || *n < 1 || *n > 99) return bad("--every: not 1 to 99: " + args.Get("every"));
      interval = static_cast<int32_t>(*n);
    }
    int32_t until = a->repeats ? a->rule.GetEndDate() : -1;
    if (until >= maxDate() - 86399) until = -1;
    if (args.Has("until") && args.Has("forever")) return bad("--until excludes --forever");
    if (args.Has("until")) {
      int64_t t;
      if (!ParseLocalDate(args.Get("until"), &t))
        return bad("--until: not a date YYYY-MM-DD: " + args.Get("until"));
      if (t < platform::LocalMidnight(a->start))
        return bad("--until: before the appointment's date");
      until = static_cast<int32_t>(t);
    }
    if (args.Has("forever")) until = -1;
    const int weekday = dayFields.weekday;
    uint8_t mask = brand == kRepeatWeekly && a->repeats && a->rule.GetMyBrand() == kRepeatWeekly
                       ? a->rule.GetWeekDayMask()
                       : static_cast<uint8_t>(1u << weekday);
    if (args.Has("on")) {
      if (brand != kRepeatWeekly) return bad("--on: only a weekly repeat has days");
      mask = 0;
      std::string list = args.Get("on") + ",";
      size_t pos = 0;
      while (pos < list.size()) {
        const size_t comma = list.find(',', pos);
        std::string name = list.substr(pos, comma - pos);
        pos = comma + 1;
        int found = -1;
        for (int i = 0; i < 7; ++i) {
          std::string lower = name;
          for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          std::string want = kDayNames[i];
          for (char& c : want) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          if (lower == want) found = i;
        }
        if (found < 0) return bad("--on: not a day name (Sun to Sat): " + name);
        mask = static_cast<uint8_t>(mask | (1u << found));
      }
    }
    const int weekIndex = std::min(4, (dayFields.day - 1) / 7);
    switch (brand) {
      case kRepeatDaily:
        a->rule = CDayName(weekday, interval, until, 0);
        break;
      case kRepeatWeekly:
        a->rule = CWeekly(mask, interval, until, 0);
        break;
      case kRepeatMonthlyByDay:
        a->rule = CDayOfMonth(weekIndex, weekday, interval, until, 0);
        break;
      case kRepeatMonthlyByDate:
        a->rule = CDateOfMonth(dayFields.day, interval, until, 0);
        break;
      default:
        a->rule = CDateOfYear(dayFields.month - 1, dayFields.day, interval, until, 0);
        break;
    }
    a->repeats = true;
    for (const auto& text : args.All("except")) {
      int64_t t;
      if (!ParseLocalDate(text, &t)) return bad("--except: not a date YYYY-MM-DD: " + text);
      if (std::find(a->exceptions.begin(), a->exceptions.end(), t) == a->exceptions.end()) {
        a->exceptions.push_back(static_cast<int32_t>(t));
      }
    }
  }
  return true;
}

bool IsAppointmentOption(const std::string& name) {
  return name != "json" && name != "all" && name != "archive" && name != "db";
}

int RejectOptions(const ParsedArgs& args, const std::vector<std::string>& allowed,
                  const std::string& command) {
  for (const auto& [name, values] : args.options) {
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      return UsageError("handheld " + command + ": option --" + name + " does not apply");
    }
  }
  return kExitClean;
}

int AddOrEdit(Loaded& loaded, const ParsedArgs& args, bool creating) {
  platform::HandheldDatabase& db = *loaded.db;
  std::vector<std::string> allowed;
  for (const auto& o : kAppointmentOptions) {
    if (IsAppointmentOption(o.name)) allowed.push_back(o.name);
  }
  if (int s = RejectOptions(args, allowed, creating ? "add" : "edit")) return s;
  Appointment a;
  int category = 0;
  platform::HandheldRecord* record = nullptr;
  std::string error;
  if (!creating) {
    if (args.positional.size() != 3) return UsageError("handheld edit needs one ID");
    auto id = ParseId(args.positional[2]);
    if (!id) return UsageError("ID: not a record ID: " + args.positional[2]);
    record = db.FindRecord(*id);
    if (record == nullptr || (record->attributes & kAttrDeleted)) {
      return UsageError("ID: no appointment " + args.positional[2]);
    }
    if (!DecodeAppointment(*record, &a, &error)) {
      return Failure("record " + std::to_string(*id) + " cannot be edited: " + error);
    }
    category = record->category;
  } else if (args.positional.size() != 2) {
    return UsageError("unexpected argument " + args.positional[2]);
  }
  if (!ApplyOptions(args, db, creating, &a, &category, &error)) return UsageError(error);
  std::vector<uint8_t> data;
  if (!EncodeAppointment(a, &data, &error)) return UsageError(error);
  if (creating) {
    platform::HandheldRecord r;
    r.id = db.NextUniqueId();
    if (r.id == 0) return Failure("the Date Book has no free record ID");
    db.uniqueIdSeed = std::max(db.uniqueIdSeed, r.id);
    db.records.push_back(std::move(r));
    record = &db.records.back();
  }
  record->data = std::move(data);
  record->category = static_cast<uint8_t>(category);
  record->attributes = static_cast<uint8_t>(kAttrDirty | (a.isPrivate ? kAttrPrivate : 0) |
                                            (record->attributes & kAttrBusy));
  const uint32_t id = record->id;
  int status;
  if (!SaveHandheld(loaded, &status)) return status;
  if (creating) {
    std::printf("%u\n", id);
  } else {
    std::printf("modified %u\n", id);
  }
  return kExitClean;
}

int Delete(Loaded& loaded, const ParsedArgs& args) {
  if (int s = RejectOptions(args, {"archive"}, "delete")) return s;
  if (args.positional.size() != 3) return UsageError("handheld delete needs one ID");
  auto id = ParseId(args.positional[2]);
  if (!id) return UsageError("ID: not a record ID: " + args.positional[2]);
  platform::HandheldRecord* record = loaded.db->FindRecord(*id);
  if (record == nullptr || (record->attributes & kAttrDeleted)) {
    return UsageError("ID: no appointment " + args.positional[2]);
  }
  // Deleted and dirty; archiving keeps the data for the desktop's archive, otherwise it goes.
  const bool archive = args.Has("archive");
  record->attributes =
      static_cast<uint8_t>(kAttrDeleted | kAttrDirty | (archive ? kAttrArchive : 0));
  record->category = 0;
  if (!archive) record->data.clear();
  int status;
  if (!SaveHandheld(loaded, &status)) return status;
  std::printf("%s %u\n", archive ? "deleted (to be archived)" : "deleted", *id);
  return kExitClean;
}

int Categories(Loaded& loaded, const ParsedArgs& args) {
  if (int s = RejectOptions(args, {"json"}, "categories")) return s;
  const auto list = ReadCategories(loaded.db->appInfo);
  if (args.Has("json")) {
    std::printf("[");
    for (size_t i = 0; i < list.size(); ++i) {
      std::printf("%s\n  {\"index\": %d, \"id\": %d, \"name\": %s, \"renamed\": %s}", i ? "," : "",
                  list[i].index, list[i].id, JsonString(list[i].name).c_str(),
                  list[i].renamed ? "true" : "false");
    }
    std::printf("%s]\n", list.empty() ? "" : "\n");
    return kExitClean;
  }
  std::printf("%5s  %3s  %s\n", "Index", "ID", "Name");
  for (const auto& c : list) {
    std::printf("%5d  %3d  %s%s\n", c.index, c.id, c.name.c_str(), c.renamed ? "  (renamed)" : "");
  }
  return kExitClean;
}

int Category(Loaded& loaded, const ParsedArgs& args) {
  if (int s = RejectOptions(args, {}, "category")) return s;
  if (args.positional.size() < 3)
    return UsageError("handheld category needs add, rename or delete");
  const std::string& action = args.positional[2];
  platform::HandheldDatabase& db = *loaded.db;
  std::string error;
  if (action == "add") {
    if (args.positional.size() != 4) return UsageError("handheld category add needs NAME");
    if (AddCategory(&db.appInfo, args.positional[3], &error) < 0) return UsageError(error);
  } else if (action == "rename") {
    if (args.positional.size() != 5) return UsageError("handheld category rename needs NAME NEW");
    const int index = FindCategory(db.appInfo, args.positional[3]);
    if (index < 0) return UsageError("NAME: no category " + args.positional[3]);
    if (!RenameCategory(&db.appInfo, index, args.positional[4], &error)) return UsageError(error);
  } else if (action == "delete") {
    if (args.positional.size() != 4) return UsageError("handheld category delete needs NAME");
    const int index = FindCategory(db.appInfo, args.positional[3]);
    if (index < 0) return UsageError("NAME: no category " + args.positional[3]);
    if (!RemoveCategory(&db.appInfo, index, &error)) return UsageError(error);
    // Its appointments are filed under Unfiled, and so changed.
    for (auto& r : db.records) {
      if (!(r.attributes & (kAttrDeleted | kAttrBusy)) && r.category == index) {
        r.category = 0;
        r.attributes |= kAttrDirty;
      }
    }
  } else {
    return UsageError("handheld category: unknown action " + action);
  }
  int status;
  if (!SaveHandheld(loaded, &status)) return status;
  return Categories(loaded, ParsedArgs{});
}

int Import(const ParsedArgs& args) {
  if (int s = RejectOptions(args, {"replace"}, "import")) return s;
  if (args.positional.size() != 3) return UsageError("handheld import needs FILE.pdb");
  const ProfilePaths paths = PathsOf(args.positional[0]);
  std::string error;
  ProfileLock lock;
  HandheldStore store;
  const int64_t now = std::time(nullptr);
  if (!CheckProfile(paths, &error) ||
      !lock.Acquire(paths, "hotsync handheld import", now, &error) ||
      !store.Load(paths.handheld, &error) || !store.Recover(now, &error)) {
    return Failure(error);
  }
  const std::string& file = args.positional[2];
  std::string bytes;
  if (!std::filesystem::is_regular_file(file) || !platform::GetFileSystem().ReadAll(file, &bytes)) {
    return Failure(file + ": cannot be read");
  }
  PdbFile parsed;
  if (!ParsePdb(bytes, &parsed, &error)) {
    return Failure(file + ": damaged database file: " + error + "; nothing was installed");
  }
  if (parsed.db.name == kDatebookName && parsed.db.hasAppInfo &&
      parsed.db.appInfo.size() < kCategoryBlockSize) {
    return Failure(file + ": the Date Book's application info block is too short (" +
                   std::to_string(parsed.db.appInfo.size()) + " bytes); nothing was installed");
  }
  // Under the Date Book's name only a Date Book goes in unasked: anything else would replace
  // the user's appointments with a database the conduit cannot read.
  if (parsed.db.name == kDatebookName &&
      (parsed.db.creator != FourCC("date") || parsed.db.type != FourCC("DATA")) &&
      !args.Has("replace")) {
    return Failure(
        file + ": holds a database named " + kDatebookName + " that is not a Date Book (creator '" +
        FourCCText(parsed.db.creator) + "', type '" + FourCCText(parsed.db.type) +
        "'); installing it replaces " +
        (store.Find(kDatebookName) ? "the handheld's Date Book" : "the Date Book's file") +
        ". Give --replace to install it anyway; nothing was installed");
  }
  // The file is installed as it is, byte for byte.
  const std::string target = store.PathOf(parsed.db.name);
  if (!platform::GetFileSystem().WriteAtomically(target, bytes)) {
    return Failure(target + ": cannot be written; nothing was installed");
  }
  std::printf("installed %s (%zu records) as %s\n", parsed.db.name.c_str(),
              parsed.db.records.size(), target.c_str());
  return kExitClean;
}

int Export(Loaded& loaded, const ParsedArgs& args) {
  if (int s = RejectOptions(args, {"db"}, "export")) return s;
  if (args.positional.size() != 3) return UsageError("handheld export needs FILE.pdb");
  const std::string name = args.Get("db", kDatebookName);
  platform::HandheldDatabase* db = loaded.store.Find(name);
  if (db == nullptr) return UsageError("--db: no database " + name + " on the handheld");
  std::string error;
  if (!WritePdbFile(args.positional[2], loaded.store.FileOf(*db), &error)) return Failure(error);
  std::printf("exported %s (%zu records) to %s\n", name.c_str(), db->records.size(),
              args.positional[2].c_str());
  return kExitClean;
}

}  // namespace

int CmdHandheld(int argc, char** argv, int first) {
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(argc, argv, first, kAppointmentOptions, &args, &error)) return UsageError(error);
  if (args.help) {
    std::fputs(kHandheldHelp, stdout);
    return kExitClean;
  }
  if (args.positional.size() < 2) {
    return UsageError(args.positional.empty() ? "handheld needs a PROFILE"
                                              : "handheld needs a command (list, add, edit, ...)");
  }
  const std::string& command = args.positional[1];
  if (command == "import") return Import(args);
  static const char* const kKnown[] = {"list",       "add",      "edit",  "delete",
                                       "categories", "category", "export"};
  if (std::find(std::begin(kKnown), std::end(kKnown), command) == std::end(kKnown)) {
    return UsageError("handheld: unknown command " + command);
  }
  if (command == "list" || command == "categories") {
    if (int s = RejectOptions(args,
                              command == "list" ? std::vector<std::string>{"json", "all"}
                                                : std::vector<std::string>{"json"},
                              command)) {
      return s;
    }
    if (args.positional.size() != 2) return UsageError("unexpected argument " + args.positional[2]);
  }
  Loaded loaded;
  int status;
  const bool writes = command != "list" && command != "categories" && command != "export" &&
                      !(command == "category" && args.positional.size() == 2);
  if (!LoadHandheld(args.positional[0], command, writes, &loaded, &status)) return status;
  if (command == "list") return List(loaded, args);
  if (command == "add") return AddOrEdit(loaded, args, true);
  if (command == "edit") return AddOrEdit(loaded, args, false);
  if (command == "delete") return Delete(loaded, args);
  if (command == "categories") return Categories(loaded, args);
  if (command == "category") return Category(loaded, args);
  return Export(loaded, args);
}

}  // namespace velqor::tools
