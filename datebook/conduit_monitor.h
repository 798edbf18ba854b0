// Makes the Date Book monitor the one the conduit's run creates.
#pragma once

namespace velqor::datebook {

// Installs the shell's monitor factory: each run gets a CVuzurMonitor.
void InstallMonitorFactory();

}  // namespace velqor::datebook
