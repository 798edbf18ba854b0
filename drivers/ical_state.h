// The iCalendar driver's own memory of the host calendar, kept in an SQLite database in the
// user folder so that it survives a crash in the middle of a write:
// - for each event or occurrence (UID plus RECURRENCE-ID, empty for an event that does not
//   repeat) the handheld record ID it is paired with and the host number it was last sent
//   with;
// - which events stand for a repeating event of the handheld (its record ID);
// - the window of the last extract, which the update step works in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace velqor::drivers {

struct OccurrenceKey {
  std::string uid;
  std::string rid;  // the RECURRENCE-ID as UTC, floating or date text; empty: the event itself
  bool operator==(const OccurrenceKey&) const = default;
  auto operator<=>(const OccurrenceKey&) const = default;
};

class IcalState {
 public:
  IcalState() = default;
  ~IcalState();
  IcalState(const IcalState&) = delete;
  IcalState& operator=(const IcalState&) = delete;

  // Opens (creating when missing) the store; every change after it belongs to one transaction
  // that Commit ends. Closing without Commit leaves the store as it was.
  bool Open(const std::string& path, std::string* error);
  bool Commit(std::string* error);

  // The extract round: raised by each extract. Host numbers of occurrences that were in neither
  // this nor the previous round are given back, so only the window's events hold numbers.
  int64_t Round();
  bool StartRound(std::string* error);

  bool SetWindow(int64_t start, int64_t end);
  bool GetWindow(int64_t* start, int64_t* end);

  std::optional<int32_t> NumberOf(const OccurrenceKey& key);
  std::optional<OccurrenceKey> KeyOfNumber(int32_t number);
  std::optional<uint32_t> RecordIdOf(const OccurrenceKey& key);
  std::optional<OccurrenceKey> KeyOfRecordId(uint32_t recordId);
  // A number for the key, kept when it has one, marked as used in this round; -1 when all
  // 10000 numbers are held by the window's events.
  int32_t TakeNumber(const OccurrenceKey& key);
  bool BindRecordId(const OccurrenceKey& key, uint32_t recordId);
  bool Forget(const OccurrenceKey& key);
  // Every key of the event.
  bool ForgetEvent(const std::string& uid);

  std::optional<std::string> SeriesUid(uint32_t recordId);
  std::optional<uint32_t> SeriesRecordId(const std::string& uid);
  bool BindSeries(uint32_t recordId, const std::string& uid);
  bool ForgetSeries(uint32_t recordId);

  const std::string& last_error() const { return error_; }

 private:
  bool Exec(const char* sql);
  bool LoadUsedNumbers();
  sqlite3* db_ = nullptr;
  int64_t round_ = 0;
  std::vector<bool> used_;  // numbers held, by number
  bool usedLoaded_ = false;
  int32_t next_ = 0;
  std::string error_;
};

}  // namespace velqor::drivers
