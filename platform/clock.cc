#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <limits>
#include <vector>

namespace velqor::platform {

int32_t SystemClock::Now() {
  return ClampTime32(static_cast<int64_t>(std::time(nullptr)));
}

void SystemClock::SleepMs(uint32_t millis) {
  timespec wait{};
  wait.tv_sec = static_cast<time_t>(millis / 1000);
  wait.tv_nsec = static_cast<long>(millis % 1000) * 1000000L;
  // A signal cuts nanosleep short; go on sleeping for what is left.
  while (nanosleep(&wait, &wait) == -1 && errno == EINTR) {
  }
}

void FixedClock::SleepMs(uint32_t millis) {
  ++sleep_calls_;
  slept_ms_ += millis;
  // Keep the part of a second that is left over, so that many short pauses add up to the
  // seconds they would really have taken.
  remainder_ms_ += millis;
  const uint64_t seconds = remainder_ms_ / 1000;
  remainder_ms_ %= 1000;
  now_ = ClampTime32(static_cast<int64_t>(now_) + static_cast<int64_t>(seconds));
}

namespace {

SystemClock& TheSystemClock() {
  static SystemClock clock;
  return clock;
}

std::atomic<Clock*> g_installed{nullptr};

bool BreakDown(int64_t time, tm* out) {
  if (time < static_cast<int64_t>(std::numeric_limits<time_t>::min()) ||
      time > static_cast<int64_t>(std::numeric_limits<time_t>::max())) {
    return false;
  }
  const time_t t = static_cast<time_t>(time);
  return localtime_r(&t, out) != nullptr;
}

// mktime on local fields with daylight saving left to the platform. The fields of `fields` are
// replaced by the normalised ones on success.
bool MakeFromFields(tm* fields, int64_t* out) {
  fields->tm_isdst = -1;
  // (time_t)-1 is both an error and a valid time (one second before 1970 UTC); mktime leaves
  // tm_wday alone when it fails, so an out-of-range weekday marks the failure.
  fields->tm_wday = -1;
  const time_t t = mktime(fields);
  if (t == static_cast<time_t>(-1) && fields->tm_wday == -1) return false;
  *out = static_cast<int64_t>(t);
  return true;
}

int64_t DateKey(const tm& t) {
  return (static_cast<int64_t>(t.tm_year) * 13 + t.tm_mon) * 32 + t.tm_mday;
}

// The first instant of the local day year-month-day (fields normalised as mktime does). That is
// local midnight, or where a clock change skips midnight, the instant the clocks jump forward.
bool FirstInstantOfDay(int64_t year, int64_t month, int64_t day, int64_t* out) {
  const int64_t tm_year = year - 1900;
  const int64_t tm_mon = month - 1;
  if (tm_year < INT_MIN || tm_year > INT_MAX || tm_mon < INT_MIN || tm_mon > INT_MAX ||
      day < INT_MIN || day > INT_MAX) {
    return false;
  }
  // Normalise the date at noon, an hour no clock change touches, to learn which day is meant.
  tm noon{};
  noon.tm_year = static_cast<int>(tm_year);
  noon.tm_mon = static_cast<int>(tm_mon);
  noon.tm_mday = static_cast<int>(day);
  noon.tm_hour = 12;
  int64_t ignored = 0;
  if (!MakeFromFields(&noon, &ignored)) return false;
  const int64_t target = DateKey(noon);

  tm midnight{};
  midnight.tm_year = noon.tm_year;
  midnight.tm_mon = noon.tm_mon;
  midnight.tm_mday = noon.tm_mday;
  int64_t candidate = 0;
  if (!MakeFromFields(&midnight, &candidate)) return false;
  tm check{};
  if (!BreakDown(candidate, &check)) return false;
  if (DateKey(check) == target && check.tm_hour == 0 && check.tm_min == 0 && check.tm_sec == 0) {
    *out = candidate;
    return true;
  }
  // Midnight does not exist on this day: find the first instant whose local date is the day.
  int64_t lo = candidate - 2 * 86400;  // before the day
  int64_t hi = candidate + 2 * 86400;  // on or after the day
  while (hi - lo > 1) {
    const int64_t mid = lo + (hi - lo) / 2;
    tm probe{};
    if (!BreakDown(mid, &probe)) return false;
    if (DateKey(probe) >= target) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  *out = hi;
  return true;
}

}  // namespace

Clock& GetClock() {
  Clock* installed = g_installed.load();
  return installed != nullptr ? *installed : TheSystemClock();
}

void SetClock(Clock* clock) {
  g_installed.store(clock);
}

bool BreakDownLocal(int64_t time, LocalTime* out) {
  if (out == nullptr) return false;
  tm t{};
  if (!BreakDown(time, &t)) return false;
  if (t.tm_year > INT_MAX - 1900) return false;
  out->year = t.tm_year + 1900;
  out->month = t.tm_mon + 1;
  out->day = t.tm_mday;
  out->hour = t.tm_hour;
  out->minute = t.tm_min;
  out->second = t.tm_sec;
  out->weekday = t.tm_wday;
  out->yearDay = t.tm_yday;
  out->dst = t.tm_isdst > 0;
  return true;
}

bool MakeLocalTime(int year, int month, int day, int hour, int minute, int second, int64_t* out) {
  if (out == nullptr) return false;
  const int64_t tm_year = static_cast<int64_t>(year) - 1900;
  const int64_t tm_mon = static_cast<int64_t>(month) - 1;
  if (tm_year < INT_MIN || tm_mon < INT_MIN) return false;
  tm fields{};
  fields.tm_year = static_cast<int>(tm_year);
  fields.tm_mon = static_cast<int>(tm_mon);
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return MakeFromFields(&fields, out);
}

int64_t LocalMidnight(int64_t time) {
  tm t{};
  int64_t result = 0;
  if (!BreakDown(time, &t) || !FirstInstantOfDay(static_cast<int64_t>(t.tm_year) + 1900,
                                                 t.tm_mon + 1, t.tm_mday, &result)) {
    return time;  // beyond what the platform can break down; nothing better to give
  }
  return result;
}

int64_t AddLocalDays(int64_t time, int days) {
  tm t{};
  int64_t result = 0;
  if (!BreakDown(time, &t) ||
      !FirstInstantOfDay(static_cast<int64_t>(t.tm_year) + 1900, t.tm_mon + 1,
                         static_cast<int64_t>(t.tm_mday) + days, &result)) {
    return time + static_cast<int64_t>(days) * 86400;
  }
  return result;
}

void ComputeSyncWindow(int64_t now, int32_t days, int32_t* windowStart, int32_t* windowEnd) {
  *windowStart = ClampTime32(LocalMidnight(now));
  *windowEnd = ClampTime32(AddLocalDays(now, days));
}

bool InSyncWindow(int64_t start, bool occurrence, int32_t windowStart, int32_t windowEnd) {
  const int64_t when = occurrence ? LocalMidnight(start) : start;
  return when >= windowStart && when <= windowEnd;
}

std::string FormatLocal(int64_t time, const char* format) {
  if (format == nullptr || *format == '\0') return std::string();
  tm t{};
  if (!BreakDown(time, &t)) return std::string();
  // strftime returns 0 both for a buffer too small and for an empty result; a few growing
  // attempts tell them apart well enough without unbounded allocation.
  for (size_t size = 256; size <= 65536; size *= 4) {
    std::vector<char> buffer(size);
    const size_t written = strftime(buffer.data(), buffer.size(), format, &t);
    if (written > 0) return std::string(buffer.data(), written);
  }
  return std::string();
}

void ReloadTimeZone() {
  tzset();
}

}  // namespace velqor::platform
