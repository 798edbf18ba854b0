// The iCalendar host driver: the handheld's Date Book against a calendar of iCalendar events
// (a vdir or one .ics file, ical_calendar.h), through the exchange files of the conduit.
//
// How an event maps to an exchange record:
//   SUMMARY                      description (UTF-8 on the host, Windows-1252 on the handheld)
//   DESCRIPTION                  note
//   CLASS PRIVATE, CONFIDENTIAL  private; a handheld change of privacy writes PRIVATE or removes
//                                CLASS. The "PERS: " the exchange format puts in front of a
//                                private description is not written into SUMMARY.
//   DTSTART/DTEND as DATE        untimed
//   DTSTART/DTEND as DATE-TIME   start and end time in the profile's zone (TZ). Times with a
//                                TZID, in UTC or floating are converted; a changed time is
//                                written back the way the event wrote it (its own TZID).
//   first VALARM whose TRIGGER   alarm; its advance in the largest unit that holds it exactly
//   lies before the start        (90 minutes stay minutes, 120 minutes become 2 hours)
// An event over several days goes out on its first day: a timed one ending at 23:59, an
// all-day one as untimed. Whatever the record does not carry (the real end, other alarms,
// attendees, LOCATION, CATEGORIES, URL, X- properties, ...) is kept when the handheld changes
// the event, and a field the handheld did not change is never rewritten: the driver compares
// each field of an update with what the event would be extracted as now.
//
// Recurrence: an event with RRULE, RDATE, EXDATE and overrides goes out as one record per
// occurrence in the window, not flagged repeating, each known by its UID and RECURRENCE-ID.
// A handheld change to one occurrence becomes a RECURRENCE-ID override, a deletion an EXDATE;
// the series itself is never rewritten for one occurrence. A repeating event of the handheld
// arrives as its occurrences, flagged repeating under one record ID; it is kept as one VEVENT
// whose DTSTART and RDATEs are the occurrences the handheld sent (those before the window are
// kept), so a client shows each occurrence once and deleting one there (an EXDATE) reaches the
// handheld as an exception.
//
// Dates the handheld cannot hold (after 2031) are not extracted and never touched.
//
// Identity: host numbers (0-9999) and handheld record IDs per occurrence live in the driver's
// state (ical_state.h). Only occurrences of the window hold numbers. Events made for the
// handheld get the UID "velqor-" + record ID (8 hex digits) + "-" + the user ID, so an update
// applied again after a crash finds the event it made.
#pragma once

#include <cstdint>
#include <string>

#include "drivers/ical_calendar.h"
#include "drivers/ical_state.h"

class CVuzurTable;

namespace velqor::drivers {

struct IcalUpdateCounts {
  int added = 0, modified = 0, deleted = 0, unchanged = 0, ignored = 0;
};

// The UID of an event the driver makes for a handheld record.
std::string HandheldUid(uint32_t recordId, const std::string& userId);

// Appends the occurrences of the window to the table in order of their start and gives each a
// host number; remembers the window for the update. False with a message when the window holds
// more records than an exchange file can (9999) or a number cannot be given.
bool ExtractIcal(IcalCalendar& calendar, IcalState& state, int64_t windowStart, int64_t windowEnd,
                 CVuzurTable* table, std::string* error);

// Applies the statuses of an update table to the calendar (in memory; the caller saves it,
// then commits the state). Applying the same table again changes nothing more.
bool UpdateIcal(IcalCalendar& calendar, IcalState& state, CVuzurTable& update,
                const std::string& userId, int64_t now, IcalUpdateCounts* counts,
                std::string* error);

}  // namespace velqor::drivers
