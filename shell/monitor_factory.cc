#include "shell/monitor_factory.h"

#include <utility>

namespace velqor::shell {

namespace {

MonitorFactory& InstalledFactory() {
  static MonitorFactory factory;
  return factory;
}

}  // namespace

void SetMonitorFactory(MonitorFactory factory) {
  InstalledFactory() = std::move(factory);
}

std::unique_ptr<ShellMonitor> CreateMonitor(void* caller, const ConduitProperties& properties,
                                            velqor::platform::ModuleHandle module) {
  const MonitorFactory& factory = InstalledFactory();
  if (!factory) return nullptr;
  return factory(caller, properties, module);
}

}  // namespace velqor::shell
