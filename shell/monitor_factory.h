// How the run creates the monitor that synchronizes the handheld's database with the desktop
// data file. The shell knows the monitor only through this interface; the program that builds
// the conduit module installs the factory of the real monitor, and tests install their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/hotsync_types.h"
#include "platform/strings.h"

namespace velqor::shell {

class ShellMonitor {
 public:
  virtual ~ShellMonitor() = default;
  // The synchronization window, set before StartSync: local midnights, start inclusive.
  virtual void SetWindow(int32_t windowStart, int32_t windowEnd) = 0;
  // Runs the synchronization; 0 on success, else a status.
  virtual int32_t StartSync() = 0;
};

// Creates the monitor of one run from the caller pointer, the properties record and the
// module handle; null when no monitor can be created.
using MonitorFactory = std::function<std::unique_ptr<ShellMonitor>(
    void* caller, const ConduitProperties& properties, velqor::platform::ModuleHandle module)>;

// Installs the factory; an empty one means that no monitor can be created.
void SetMonitorFactory(MonitorFactory factory);
// The monitor for one run, or null when no factory is installed or it made none.
std::unique_ptr<ShellMonitor> CreateMonitor(void* caller, const ConduitProperties& properties,
                                            velqor::platform::ModuleHandle module);

}  // namespace velqor::shell
