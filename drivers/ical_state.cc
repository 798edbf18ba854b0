#include "drivers/ical_state.h"

#include <sqlite3.h>

#include "drivers/host_calendar.h"

namespace velqor::drivers {
namespace {

// One prepared statement, finalised with its scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  Statement& Bind(int i, const std::string& s) {
    sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  // True while a row is there.
  bool Step() { return stmt_ != nullptr && sqlite3_step(stmt_) == SQLITE_ROW; }
  // Runs a statement that returns no rows.
  bool Run() {
    if (stmt_ == nullptr) return false;
    const int rc = sqlite3_step(stmt_);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
  }
  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
  bool IsNull(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::string Text(int col) {
    const auto* p = sqlite3_column_text(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS occurrence(uid TEXT NOT NULL, rid TEXT NOT NULL,"
    " number INTEGER UNIQUE, record_id INTEGER, round INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY(uid, rid));"
    "CREATE INDEX IF NOT EXISTS occurrence_record ON occurrence(record_id);"
    "CREATE TABLE IF NOT EXISTS series(record_id INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE);";

}  // namespace

IcalState::~IcalState() {
  if (db_ != nullptr) sqlite3_close(db_);  // an open transaction is rolled back
}

bool IcalState::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    error_ = message ? message : "SQLite failed";
    sqlite3_free(message);
    return false;
  }
  return true;
}

bool IcalState::Open(const std::string& path, std::string* error) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *error = path + ": the driver's state cannot be opened: " + sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_busy_timeout(db_, 5000);
  // A full sync at commit: the state must be on disk before the driver reports success.
  if (!Exec("PRAGMA synchronous=FULL;") || !Exec("BEGIN IMMEDIATE;") || !Exec(kSchema)) {
    *error = path + ": the driver's state cannot be used: " + error_;
    return false;
  }
  Statement q(db_, "SELECT value FROM meta WHERE key='round'");
  round_ = q.Step() ? q.Int(0) : 0;
  return true;
}

bool IcalState::Commit(std::string* error) {
  if (!Exec("COMMIT;")) {
    *error = "the driver's state cannot be saved: " + error_;
    return false;
  }
  return true;
}

int64_t IcalState::Round() {
  return round_;
}

bool IcalState::StartRound(std::string* error) {
  ++round_;
  Statement set(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('round', ?)");
  Statement release(db_, "UPDATE occurrence SET number=NULL WHERE number IS NOT NULL AND round<?");
  if (!set.Bind(1, round_).Run() || !release.Bind(1, round_ - 1).Run()) {
    *error = std::string("the driver's state cannot be updated: ") + sqlite3_errmsg(db_);
    return false;
  }
  usedLoaded_ = false;
  return true;
}

bool IcalState::SetWindow(int64_t start, int64_t end) {
  Statement a(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('window_start', ?)");
  Statement b(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('window_end', ?)");
  return a.Bind(1, start).Run() && b.Bind(1, end).Run();
}

bool IcalState::GetWindow(int64_t* start, int64_t* end) {
  Statement a(db_, "SELECT value FROM meta WHERE key='window_start'");
  Statement b(db_, "SELECT value FROM meta WHERE key='window_end'");
  if (!a.Step() || !b.Step()) return false;
  *start = a.Int(0);
  *end = b.Int(0);
  return true;
}

std::optional<int32_t> IcalState::NumberOf(const OccurrenceKey& key) {
  Statement q(db_, "SELECT number FROM occurrence WHERE uid=? AND rid=?");
  if (!q.Bind(1, key.uid).Bind(2, key.rid).Step() || q.IsNull(0)) return std::nullopt;
  return static_cast<int32_t>(q.Int(0));
}

std::optional<OccurrenceKey> IcalState::KeyOfNumber(int32_t number) {
  Statement q(db_, "SELECT uid, rid FROM occurrence WHERE number=?");
  if (!q.Bind(1, number).Step()) return std::nullopt;
  return OccurrenceKey{q.Text(0), q.Text(1)};
}

std::optional<uint32_t> IcalState::RecordIdOf(const OccurrenceKey& key) {
  Statement q(db_, "SELECT record_id FROM occurrence WHERE uid=? AND rid=?");
  if (!q.Bind(1, key.uid).Bind(2, key.rid).Step() || q.IsNull(0)) return std::nullopt;
  return static_cast<uint32_t>(q.Int(0));
}

std::optional<OccurrenceKey> IcalState::KeyOfRecordId(uint32_t recordId) {
  Statement q(db_, "SELECT uid, rid FROM occurrence WHERE record_id=? ORDER BY round DESC");
  if (!q.Bind(1, recordId).Step()) return std::nullopt;
  return OccurrenceKey{q.Text(0), q.Text(1)};
}

bool IcalState::LoadUsedNumbers() {
  used_.assign(kMaxHostNumber + 1, false);
  Statement q(db_, "SELECT number FROM occurrence WHERE number IS NOT NULL");
  while (q.Step()) {
    const int64_t n = q.Int(0);
    if (n >= 0 && n <= kMaxHostNumber) used_[static_cast<size_t>(n)] = true;
  }
  usedLoaded_ = true;
  return true;
}

int32_t IcalState::TakeNumber(const OccurrenceKey& key) {
  std::optional<int32_t> number = NumberOf(key);
  if (!number) {
    if (!usedLoaded_) LoadUsedNumbers();
    for (int32_t i = 0; i <= kMaxHostNumber && !number; ++i) {
      const int32_t n = (next_ + i) % (kMaxHostNumber + 1);
      if (!used_[static_cast<size_t>(n)]) number = n;
    }
    if (!number) return -1;
    used_[static_cast<size_t>(*number)] = true;
    next_ = (*number + 1) % (kMaxHostNumber + 1);
  }
  Statement q(db_,
              "INSERT INTO occurrence(uid, rid, number, round) VALUES(?, ?, ?, ?) "
              "ON CONFLICT(uid, rid) DO UPDATE SET number=excluded.number, round=excluded.round");
  if (!q.Bind(1, key.uid).Bind(2, key.rid).Bind(3, *number).Bind(4, round_).Run()) return -1;
  return *number;
}

bool IcalState::BindRecordId(const OccurrenceKey& key, uint32_t recordId) {
  // A record ID belongs to one occurrence only.
  Statement clear(
      db_, "UPDATE occurrence SET record_id=NULL WHERE record_id=? AND NOT (uid=? AND rid=?)");
  Statement q(db_,
              "INSERT INTO occurrence(uid, rid, record_id, round) VALUES(?, ?, ?, ?) "
              "ON CONFLICT(uid, rid) DO UPDATE SET record_id=excluded.record_id, "
              "round=max(round, excluded.round)");
  return clear.Bind(1, recordId).Bind(2, key.uid).Bind(3, key.rid).Run() &&
         q.Bind(1, key.uid).Bind(2, key.rid).Bind(3, recordId).Bind(4, round_).Run();
}

bool IcalState::Forget(const OccurrenceKey& key) {
  Statement q(db_, "DELETE FROM occurrence WHERE uid=? AND rid=?");
  usedLoaded_ = false;
  return q.Bind(1, key.uid).Bind(2, key.rid).Run();
}

bool IcalState::ForgetEvent(const std::string& uid) {
  Statement q(db_, "DELETE FROM occurrence WHERE uid=?");
  Statement s(db_, "DELETE FROM series WHERE uid=?");
  usedLoaded_ = false;
  return q.Bind(1, uid).Run() && s.Bind(1, uid).Run();
}

std::optional<std::string> IcalState::SeriesUid(uint32_t recordId) {
  Statement q(db_, "SELECT uid FROM series WHERE record_id=?");
  if (!q.Bind(1, recordId).Step()) return std::nullopt;
  return q.Text(0);
}

std::optional<uint32_t> IcalState::SeriesRecordId(const std::string& uid) {
  Statement q(db_, "SELECT record_id FROM series WHERE uid=?");
  if (!q.Bind(1, uid).Step()) return std::nullopt;
  return static_cast<uint32_t>(q.Int(0));
}

bool IcalState::BindSeries(uint32_t recordId, const std::string& uid) {
  Statement a(db_, "DELETE FROM series WHERE record_id=? OR uid=?");
  Statement b(db_, "INSERT INTO series(record_id, uid) VALUES(?, ?)");
  return a.Bind(1, recordId).Bind(2, uid).Run() && b.Bind(1, recordId).Bind(2, uid).Run();
}

bool IcalState::ForgetSeries(uint32_t recordId) {
  Statement q(db_, "DELETE FROM series WHERE record_id=?");
  return q.Bind(1, recordId).Run();
}

}  // namespace velqor::drivers
