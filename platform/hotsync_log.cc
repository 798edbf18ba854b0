#include "platform/hotsync_log.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace velqor::platform {
namespace {
std::atomic<HotSyncLog*> g_log{nullptr};
}  // namespace

bool IsProblemActivity(int32_t activity) {
  return activity != kLogContinuation && activity != kLogRunStart && activity != kLogRunClean &&
         activity != kLogRunProblems;
}

void MemoryLog::Write(const char* text, int32_t activity, int32_t flag) {
  entries_.push_back(LogEntry{text != nullptr ? std::string(text) : std::string(), activity});
}

int32_t MemoryLog::EntryCount() {
  auto count = std::count_if(entries_.begin(), entries_.end(),
                             [](const LogEntry& e) { return IsProblemActivity(e.activity); });
  return static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
}

void SetHotSyncLog(HotSyncLog* log) {
  g_log.store(log);
}
HotSyncLog* GetHotSyncLog() {
  return g_log.load();
}

}  // namespace velqor::platform

int32_t LogWrite(const char* text, int32_t activity, int32_t flag) {
  velqor::platform::HotSyncLog* log = velqor::platform::GetHotSyncLog();
  if (log != nullptr) log->Write(text != nullptr ? text : "", activity, flag);
  return 0;
}

int32_t LogEntryCount() {
  velqor::platform::HotSyncLog* log = velqor::platform::GetHotSyncLog();
  if (log == nullptr) return 0;
  int32_t count = log->EntryCount();
  // Callers look at the low 16 bits only: a count that is a multiple of 65536 would read as "no
  // problem yet" and bring the header back, so the answer stays at the largest 16-bit value.
  return std::clamp<int32_t>(count, 0, 0xFFFF);
}
