#include "platform/crash_points.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace velqor::platform {
namespace {

std::atomic<int> g_reached{0};
std::atomic<int> g_stopAt{0};
std::atomic<int> g_failFrom{0};

const char* KindName(PointKind kind) {
  switch (kind) {
    case PointKind::kWrite:
      return "write";
    case PointKind::kRename:
      return "rename";
    case PointKind::kDelete:
      return "delete";
    case PointKind::kHandheldWrite:
      return "handheld";
  }
  return "?";
}

}  // namespace

bool ReachPoint(PointKind kind, const std::string& what) {
  const int n = ++g_reached;
  if (n == g_stopAt.load()) {
    // Said on the unbuffered error stream, then gone without unwinding or flushing anything,
    // exactly as a kill leaves the files.
    std::fprintf(stderr, "crash point %d: %s %s\n", n, KindName(kind), what.c_str());
    kill(getpid(), SIGKILL);
    _exit(137);  // not reached
  }
  const int failFrom = g_failFrom.load();
  const bool writes = kind == PointKind::kWrite || kind == PointKind::kHandheldWrite;
  return !(writes && failFrom != 0 && n >= failFrom);
}

void StopAtPoint(int n) {
  g_stopAt.store(n);
}

void FailWritesFromPoint(int n) {
  g_failFrom.store(n);
}

int PointsReached() {
  return g_reached.load();
}

}  // namespace velqor::platform
