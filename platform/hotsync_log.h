// The HotSync log. Conduits write lines with an activity code; LogEntryCount tells whether a
// problem line was written yet in this synchronization.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velqor::platform {

inline constexpr int32_t kLogContinuation = -1;
inline constexpr int32_t kLogRunStart = 19;
inline constexpr int32_t kLogRunClean = 20;
inline constexpr int32_t kLogRunProblems = 21;
inline constexpr int32_t kLogShellFailure = 22;

struct LogEntry {
  std::string text;
  int32_t activity;
};

class HotSyncLog {
 public:
  virtual ~HotSyncLog() = default;
  virtual void Write(const char* text, int32_t activity, int32_t flag) = 0;
  // Problem entries of this synchronization: every entry except the start line (19), the
  // closing lines (20, 21) and continuation lines (-1).
  virtual int32_t EntryCount() = 0;
};

// Keeps the entries of one synchronization in memory; the test double and the stand-in's log.
class MemoryLog : public HotSyncLog {
 public:
  void Write(const char* text, int32_t activity, int32_t flag) override;
  int32_t EntryCount() override;
  const std::vector<LogEntry>& entries() const { return entries_; }
  void Clear() { entries_.clear(); }

 private:
  std::vector<LogEntry> entries_;
};

// Installs the log (not owned); null discards lines.
void SetHotSyncLog(HotSyncLog* log);
HotSyncLog* GetHotSyncLog();

bool IsProblemActivity(int32_t activity);

}  // namespace velqor::platform

// Appends a line; a null text is written as an empty line. Returns 0.
int32_t LogWrite(const char* text, int32_t activity, int32_t flag);
int32_t LogEntryCount();
