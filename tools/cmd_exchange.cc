// hotsync exchange dump: an exchange file as the conduit loads it.
#include <cstdio>

#include "hostfile/vuzur_table.h"
#include "platform/clock.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/datebook_db.h"

namespace velqor::tools {
namespace {

const char kExchangeHelp[] =
    "usage: hotsync exchange dump FILE [--json]\n"
    "Shows an exchange file (datebook.dat, extract.dat, update.dat, datebook.bak) record by\n"
    "record as the conduit loads it. A file that does not load is reported with the load's\n"
    "status after the records read before the failure; the exit status is then 2.\n";

const char* StatusName(int32_t status) {
  switch (status) {
    case kStatusNone:
      return "none";
    case kStatusAdded:
      return "added";
    case kStatusModified:
      return "modified";
    case kStatusDeleted:
      return "deleted";
    case kStatusPending:
      return "pending";
    default:
      return "?";
  }
}

std::string StatusText(long status) {
  switch (status) {
    case kTblFileMissing:
      return "the file does not exist";
    case kCauseEndOfFile:
      return "the file ends inside a record";
    case kCauseBadFormat:
      return "a field does not hold what its format needs";
    case kCauseAccessDenied:
      return "access denied";
    default:
      return "the file cannot be read";
  }
}

}  // namespace

int CmdExchange(int argc, char** argv, int first) {
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(argc, argv, first, {{"json", false}}, &args, &error)) return UsageError(error);
  if (args.help) {
    std::fputs(kExchangeHelp, stdout);
    return kExitClean;
  }
  if (args.positional.empty() || args.positional[0] != "dump") {
    return UsageError(args.positional.empty() ? "exchange needs dump FILE"
                                              : "exchange: unknown command " + args.positional[0]);
  }
  if (args.positional.size() != 2) {
    return UsageError(args.positional.size() < 2 ? "exchange dump needs FILE"
                                                 : "unexpected argument " + args.positional[2]);
  }
  const std::string& file = args.positional[1];
  CVuzurTable table;
  const long status = table.LoadFrom(file, 0);
  const bool json = args.Has("json");
  CVuzurRecord rec(table, 0);
  CBaseIterator it(table);
  int index = 0;
  if (json) std::printf("{\"file\": %s, \"records\": [", JsonString(file).c_str());
  for (long s = it.FindFirst(rec); s == kTblOk; s = it.FindNext(rec), ++index) {
    velqor::hostfile::ExchangeRecord f;
    if (rec.GetExchangeFields(&f) != 0) continue;
    int32_t status32 = 0;
    rec.GetStatus(status32);
    const std::string date = FormatDate(f.startTime);
    const std::string start = f.untimed ? "" : FormatClock(f.startTime);
    const std::string end = f.untimed ? "" : FormatClock(f.endTime);
    char id[16];
    std::snprintf(id, sizeof id, "%08X", f.recordId.value_or(0));
    if (json) {
      std::printf(
          "%s\n  {\"id\": %u, \"hostNumber\": %d, \"status\": %s, \"date\": %s, "
          "\"untimed\": %s, \"start\": %s, \"end\": %s, \"alarm\": %s, \"repeating\": %s, "
          "\"private\": %s, \"description\": %s, \"note\": %s}",
          index ? "," : "", f.recordId.value_or(0), f.hostNumber.value_or(0),
          JsonString(StatusName(status32)).c_str(), JsonString(date).c_str(),
          f.untimed ? "true" : "false", f.untimed ? "null" : JsonString(start).c_str(),
          f.untimed ? "null" : JsonString(end).c_str(),
          f.alarmSet ? ("{\"advance\": " + std::to_string(f.alarmAdvance) +
                        ", \"unit\": " + std::to_string(f.alarmUnit.value_or(0)) + "}")
                           .c_str()
                     : "null",
          f.repeating ? "true" : "false", f.isPrivate ? "true" : "false",
          JsonString(f.description).c_str(), JsonString(f.note).c_str());
    } else {
      std::printf("%4d  id %s  host %4d  %-8s  %s %-11s", index + 1, id, f.hostNumber.value_or(0),
                  StatusName(status32), date.c_str(),
                  f.untimed ? "untimed" : (start + "-" + end).c_str());
      if (f.alarmSet) {
        std::printf("  alarm %d%c", f.alarmAdvance,
                    "mhd"[std::min(2, std::max(0, f.alarmUnit.value_or(0)))]);
      }
      if (f.repeating) std::printf("  repeating");
      if (f.isPrivate) std::printf("  private");
      std::printf("  %s\n", JsonString(f.description).c_str());
      if (!f.note.empty()) std::printf("        note %s\n", JsonString(f.note).c_str());
    }
  }
  if (json) {
    std::printf("%s], \"status\": %ld}\n", index ? "\n" : "", status);
  } else {
    std::printf("%d records\n", index);
  }
  if (status != 0) {
    std::fprintf(stderr, "hotsync: %s: does not load: status %ld (%s)\n", file.c_str(), status,
                 StatusText(status).c_str());
    return kExitFailed;
  }
  return kExitClean;
}

}  // namespace velqor::tools
