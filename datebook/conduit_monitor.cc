#include "datebook/conduit_monitor.h"

#include <memory>
#include <utility>

#include "datebook/datebook_monitor.h"
#include "shell/monitor_factory.h"

namespace velqor::datebook {

namespace {

// The shell's view of the Date Book monitor.
class DatebookShellMonitor : public velqor::shell::ShellMonitor {
 public:
  explicit DatebookShellMonitor(std::unique_ptr<CVuzurMonitor> monitor)
      : monitor_(std::move(monitor)) {}
  void SetWindow(int32_t windowStart, int32_t windowEnd) override {
    monitor_->SetWindow(windowStart, windowEnd);
  }
  int32_t StartSync() override { return monitor_->StartSync(); }

 private:
  std::unique_ptr<CVuzurMonitor> monitor_;
};

}  // namespace

void InstallMonitorFactory() {
  velqor::shell::SetMonitorFactory(
      [](void* caller, const ConduitProperties& properties,
         velqor::platform::ModuleHandle module) -> std::unique_ptr<velqor::shell::ShellMonitor> {
        try {
          return std::make_unique<DatebookShellMonitor>(
              std::make_unique<CVuzurMonitor>(caller, properties, module));
        } catch (...) {
          return nullptr;  // the run then ends without a monitor, as the shell expects
        }
      });
}

}  // namespace velqor::datebook
