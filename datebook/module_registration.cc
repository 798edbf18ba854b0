// Compiled into the conduit module itself: when the module is loaded, its runs get the Date
// Book monitor.
#include "datebook/conduit_monitor.h"

namespace {

__attribute__((constructor)) void RegisterDatebookMonitor() {
  velqor::datebook::InstallMonitorFactory();
}

}  // namespace
