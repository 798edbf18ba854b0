// Clock and local time. Every time value is signed 32-bit seconds since 1970; local time
// follows the TZ environment variable, and daylight saving is always decided here.
#pragma once

#include <cstdint>
#include <string>

namespace velqor::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int32_t Now() = 0;                  // seconds since 1970
  virtual void SleepMs(uint32_t millis) = 0;  // pauses of the conduit go through here
};

class SystemClock : public Clock {
 public:
  int32_t Now() override;
  void SleepMs(uint32_t millis) override;
};

// A clock for programs and tests: a pinned time that pauses advance instead of waiting.
class FixedClock : public Clock {
 public:
  explicit FixedClock(int32_t now) : now_(now) {}
  int32_t Now() override { return now_; }
  void SleepMs(uint32_t millis) override;
  void Set(int32_t now) { now_ = now; }
  uint64_t slept_ms() const { return slept_ms_; }
  uint32_t sleep_calls() const { return sleep_calls_; }

 private:
  int32_t now_;
  uint64_t slept_ms_ = 0;
  uint64_t remainder_ms_ = 0;
  uint32_t sleep_calls_ = 0;
};

// The clock the conduit uses; a SystemClock unless a program or test installed another.
Clock& GetClock();
// Installs a clock (not owned) or, with null, restores the system clock.
void SetClock(Clock* clock);

struct LocalTime {
  int year;     // e.g. 1997
  int month;    // 1 to 12
  int day;      // 1 to 31
  int hour;     // 0 to 23
  int minute;   // 0 to 59
  int second;   // 0 to 60
  int weekday;  // 0 Sunday to 6 Saturday
  int yearDay;  // 0 to 365
  bool dst;
};

// Breaks a time down in local time. Fails only when the platform cannot.
bool BreakDownLocal(int64_t time, LocalTime* out);
// Builds a time from local fields, letting the platform decide daylight saving. Fields out of
// range are normalised (day 32 is the next month's first). Returns false when the result is
// not representable.
bool MakeLocalTime(int year, int month, int day, int hour, int minute, int second, int64_t* out);
// The local midnight that begins the day of `time` (built from its local date fields).
int64_t LocalMidnight(int64_t time);
// The local midnight `days` calendar days after the one that begins the day of `time`.
int64_t AddLocalDays(int64_t time, int days);
// The synchronization window of a run at `now` over `days` days, the one the conduit and every
// host driver work on: from the local midnight that begins today to the local midnight `days`
// calendar days later. A window day across a clock change is 23 or 25 hours long; where a change
// skips midnight, the day begins when the clocks jump. Both ends are clamped to 32 bits.
void ComputeSyncWindow(int64_t now, int32_t days, int32_t* windowStart, int32_t* windowEnd);
// Whether a record that starts at `start` belongs to the window: a single event when its start
// lies in it, an occurrence of a repeating event when the local midnight of its day does (both
// ends included).
bool InSyncWindow(int64_t start, bool occurrence, int32_t windowStart, int32_t windowEnd);
// strftime in local time; an empty string when the time cannot be broken down.
std::string FormatLocal(int64_t time, const char* format);
// Makes a changed TZ take effect (tests that set TZ call this).
void ReloadTimeZone();

inline constexpr int32_t kMaxTime32 = INT32_MAX;
inline constexpr int32_t kMinTime32 = INT32_MIN;
inline int32_t ClampTime32(int64_t t) {
  return t > kMaxTime32 ? kMaxTime32 : (t < kMinTime32 ? kMinTime32 : static_cast<int32_t>(t));
}

}  // namespace velqor::platform
