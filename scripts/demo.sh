#!/usr/bin/env bash
# Sets up, builds, and runs the main job: a handheld and a host calendar synchronized twice,
# with a change on each side and one conflict in between. Everything lives in out/demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build -DVELQOR_BENCH=OFF

H="$root/build/tools/hotsync"
P="$root/out/demo"
rm -rf "$P"
mkdir -p "$root/out"
export TZ="${TZ:-Europe/Berlin}"
D0=$(date +%F)
D1=$(date -d tomorrow +%F)
D2=$(date -d '2 days' +%F)

step() { printf '\n=== %s\n' "$*"; }

step "A new profile for Ann, synchronizing 14 days"
"$H" init "$P" --user Ann --days 14

step "The host calendar: lunch tomorrow"
cat > "$P/user/host-calendar.txt" <<CAL
event
date $D1
start 12:00
end 13:00
description Lunch with Bob
end
CAL
cat "$P/user/host-calendar.txt"

step "The handheld: a meeting with an alarm, a daily stand-up with an exception, a private appointment with a note"
M=$("$H" handheld "$P" add --date "$D1" --start 09:30 --end 10:15 --desc "Staff meeting" --alarm 10m)
"$H" handheld "$P" add --date "$D0" --start 08:00 --end 08:15 --desc Standup --repeat daily --except "$D2" >/dev/null
"$H" handheld "$P" add --date "$D2" --desc Dentist --private --note "Bring card" >/dev/null
"$H" handheld "$P" list

step "First synchronization"
"$H" sync "$P" --verbose || true

step "Changes: the meeting edited on the handheld and, differently, on the host (a conflict); a new host event"
"$H" handheld "$P" edit "$M" --desc "Staff meeting, room 2"
sed -i 's/^description Staff meeting$/description Staff meeting (moved)/' "$P/user/host-calendar.txt"
cat >> "$P/user/host-calendar.txt" <<CAL
event
date $D2
start 15:00
end 16:00
description Call the plumber
end
CAL

step "Second synchronization"
"$H" sync "$P" --verbose || true

step "The HotSync log"
cat "$P/hotsync.log"
step "The handheld's Date Book"
"$H" handheld "$P" list
step "The host calendar"
cat "$P/user/host-calendar.txt"

step "The same handheld with an iCalendar calendar: a folder of .ics files (a vdir)"
Q="$root/out/demo-ical"
V="$root/out/demo-vdir"
rm -rf "$Q" "$V"
"$H" init "$Q" --user Ann --days 14 --calendar "$V"
cp "$P/handheld/DatebookDB.pdb" "$Q/handheld/"
cat > "$V/lunch-with-carol.ics" <<ICS
BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//velqor//demo//EN
BEGIN:VEVENT
UID:lunch-with-carol
DTSTAMP:${D0//-/}T000000Z
DTSTART;TZID=America/New_York:${D2//-/}T090000
DTEND;TZID=America/New_York:${D2//-/}T100000
SUMMARY:Call with Carol in New York
END:VEVENT
END:VCALENDAR
ICS
"$H" sync "$Q" --verbose || true
ls "$V"
"$H" handheld "$Q" list
if command -v khal >/dev/null; then
  step "khal list over the vdir"
  K="$root/out/demo-khal"
  mkdir -p "$K/khal"
  cat > "$K/khal/config" <<KHAL
[calendars]
[[demo]]
path = $V
type = calendar
[locale]
timeformat = %H:%M
dateformat = %Y-%m-%d
longdateformat = %Y-%m-%d
datetimeformat = %Y-%m-%d %H:%M
longdatetimeformat = %Y-%m-%d %H:%M
local_timezone = $TZ
default_timezone = $TZ
KHAL
  XDG_CONFIG_HOME="$K" XDG_DATA_HOME="$K" khal list "$D0" 14d
fi
