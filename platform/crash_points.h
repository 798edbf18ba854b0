// The durable changes of a run, numbered from 1 in the order they happen: every file write,
// rename and deletion and every handheld write. Crash tests stop a run dead at one of them, as
// a kill would, or make every write from one on fail, as a full disk would. Nothing happens
// unless a test or the stand-in's test options asked for it.
#pragma once

#include <string>

namespace velqor::platform {

enum class PointKind { kWrite, kRename, kDelete, kHandheldWrite };

// Called just before the change. Returns false when the change must fail as on a full disk
// (writes only); never returns when the run is to stop at this point.
bool ReachPoint(PointKind kind, const std::string& what);

// The run is killed (SIGKILL to itself) at point n; 0 never.
void StopAtPoint(int n);
// Every write from point n on fails; 0 never.
void FailWritesFromPoint(int n);
// How many points this process has passed.
int PointsReached();

}  // namespace velqor::platform
