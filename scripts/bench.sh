#!/usr/bin/env bash
# Builds a Release tree (build-release), runs the benchmarks under bench/, then times whole
# synchronizations through hotsync and the reference driver: a fresh profile with a 400-day
# window and N distinct timed host events; a first synchronization fills the handheld, a slow
# one follows with both sides equal, then a fast one after 10 handheld edits and 1 host edit.
# Each is a whole process timed with /usr/bin/time; the table shows the median of the runs.
#
#   scripts/bench.sh [--runs R] [--sizes "1000 4000 ..."] [--no-micro] [--no-e2e]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
sizes="1000 2000 4000 8000 9999"
micro=1
e2e=1
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --no-micro) micro=0; shift ;;
    --no-e2e) e2e=0; shift ;;
    *) echo "usage: scripts/bench.sh [--runs R] [--sizes \"N ...\"] [--no-micro] [--no-e2e]" >&2
       exit 2 ;;
  esac
done

"$root/scripts/setup.sh"
"$root/scripts/build.sh" build-release -DCMAKE_BUILD_TYPE=Release -DVELQOR_BENCH=ON
B="$root/build-release"

if [ "$micro" = 1 ]; then
  for program in "$B"/bench/*_bench; do
    printf '\n=== %s\n' "$(basename "$program")"
    "$program" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true
  done
fi
[ "$e2e" = 1 ] || exit 0

H="$B/tools/hotsync"
work="$root/out/bench"
rm -rf "$work"
mkdir -p "$work"
# A zone with daylight saving and a pinned clock, for the conduit and the driver alike.
export TZ=Europe/Berlin
now="2026-03-02 10:00:00"

# Runs one synchronization of the profile and prints "seconds peak-KiB".
timed_sync() {
  local profile=$1; shift
  local times="$work/time.txt"
  if ! /usr/bin/time -f "%e %M" -o "$times" "$H" sync "$profile" --now "$now" "$@" \
      >"$work/sync.out" 2>&1; then
    echo "synchronization failed ($profile $*):" >&2
    cat "$work/sync.out" >&2
    exit 1
  fi
  cat "$times"
}

# N events, one or more a day over the 400 days, each at its own time.
host_calendar() {
  awk -v n="$1" 'BEGIN {
    cmd = "date -d \"2026-03-02\" +%s"; cmd | getline base; close(cmd)
    for (i = 0; i < n; i++) {
      day = int(i * 400 / n)
      printf "event\ndate %s\nstart %02d:%02d\nend %02d:%02d\ndescription Event %d\nend\n",
        strftime("%Y-%m-%d", base + day * 86400 + 43200), 8 + i % 10, (i * 7) % 60,
        9 + i % 10, (i * 7) % 60, i
    }
  }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '\n=== end to end (median of %s runs; peak memory of the slow synchronization)\n' "$runs"
printf '| N | first sync | slow sync | fast sync, 10 changes | slow sync peak memory |\n'
printf '|---|---|---|---|---|\n'
declare -A first slow
for n in $sizes; do
  : >"$work/first" ; : >"$work/slow" ; : >"$work/fast" ; : >"$work/peak"
  for run in $(seq "$runs"); do
    p="$work/p-$n-$run"
    "$H" init "$p" --user Bench --days 400 >/dev/null
    host_calendar "$n" >"$p/user/host-calendar.txt"
    echo "now $now" >>"$p/user/filehost.conf"
    timed_sync "$p" | awk '{ print $1 }' >>"$work/first"
    timed_sync "$p" --type slow >"$work/one"
    awk '{ print $1 }' "$work/one" >>"$work/slow"
    awk '{ print $2 }' "$work/one" >>"$work/peak"
    # Ten handheld records spread over the Date Book, and one host event.
    "$H" handheld "$p" list | awk -v step=$((n / 10)) \
      '$1 ~ /^[0-9]+$/ { if (k % step == 0 && e < 10) { print $1; e++ } k++ }' |
      while read -r id; do "$H" handheld "$p" edit "$id" --desc "Edited on the handheld" >/dev/null; done
    sed -i "s/^description Event $((n / 2 + 1))\$/description Event $((n / 2 + 1)) (moved)/" \
      "$p/user/host-calendar.txt"
    timed_sync "$p" | awk '{ print $1 }' >>"$work/fast"
    rm -rf "$p"
  done
  first[$n]=$(median <"$work/first")
  slow[$n]=$(median <"$work/slow")
  peak=$(median <"$work/peak")
  printf '| %s | %s s | %s s | %s s | %s MiB |\n' "$n" "${first[$n]}" "${slow[$n]}" \
    "$(median <"$work/fast")" "$(awk -v k="$peak" 'BEGIN { printf "%.1f", k / 1024 }')"
done

lo=$(echo "$sizes" | awk '{ print $1 }')
hi=$(echo "$sizes" | awk '{ print $NF }')
for n in $sizes; do [ "$n" = 8000 ] && mid=8000; done
if [ -n "${mid:-}" ]; then
  awk -v a="${slow[8000]}" -v b="${slow[$lo]}" \
    'BEGIN { printf "slow(8000)/slow('"$lo"') = %.1f\n", (b > 0 ? a / b : 0) }'
fi
awk -v a="${slow[$hi]}" -v b="${first[$hi]}" \
  'BEGIN { printf "slow('"$hi"')/first('"$hi"') = %.2f\n", (b > 0 ? a / b : 0) }'
