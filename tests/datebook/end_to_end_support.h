// The fixture of whole synchronizations as HotSync Manager runs them: the conduit module loaded
// by path, the in-memory handheld standing for the device, and the reference host driver started
// as a real process that keeps the host calendar in a plain file. The conduit's clock and the
// driver's are pinned together.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "datebook/datebook_test_support.h"
#include "drivers/host_calendar.h"
#include "platform/settings.h"
#include "shell/conduit_api.h"

namespace datebook_test {

using velqor::drivers::HostCalendar;
using velqor::drivers::HostEvent;

inline constexpr char kModule[] = VQ_CONDUIT_MODULE;
inline constexpr char kDriver[] = VQ_FILEHOST;
inline constexpr char kKey[] = "Conduits\\DateBook";

class EndToEndTest : public DatebookTest {
 protected:
  void SetUp() override {
    DatebookTest::SetUp();
    handle_ = dlopen(kModule, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    open_ = reinterpret_cast<OpenConduitFn>(dlsym(handle_, kOpenConduitSymbol));
    ASSERT_NE(open_, nullptr);

    root_ = velqor::platform::RegisterSettingsRoot(&store_);
    store_.CreateKey(kKey);
    store_.SetNumber(kKey, "UserMode", 0);
    store_.SetText(kKey, "UserID", "");
    store_.SetText(kKey, "DriverPath", kDriver);
    store_.SetText(kKey, "HLLPath", "");
    store_.SetNumber(kKey, "NumDays", 7);
    store_.SetText(kKey, "Install", "");
    std::strcpy(props.userName, "Jane");
    std::strcpy(props.settingsKeyPath, kKey);
    props.settingsRootKey = root_;
    Db().uniqueIdSeed = 0x1000;
  }
  void TearDown() override {
    velqor::platform::UnregisterSettingsRoot(root_);
    if (handle_ != nullptr) dlclose(handle_);
    DatebookTest::TearDown();
  }

  // Sets the clock of both the conduit and the driver.
  void SetNow(int day, int hour, int month = 3) { SetNowAt(1997, month, day, hour); }
  void SetNowAt(int year, int month, int day, int hour, int minute = 0) {
    clock.Set(Local(year, month, day, hour, minute));
    char now[32];
    std::snprintf(now, sizeof now, "%04d-%02d-%02d %02d:%02d:00", year, month, day, hour, minute);
    std::ofstream(dir + "filehost.conf")
        << "calendar host-calendar.txt\ntimezone America/New_York\nnow " << now << "\n";
  }

  // One synchronization; its log lines are left in `log`.
  int32_t Sync() {
    log.Clear();
    int caller = 0;
    return open_(&caller, props);
  }

  HostCalendar Host() {
    HostCalendar calendar;
    std::string error;
    EXPECT_TRUE(velqor::drivers::LoadCalendar(dir + "host-calendar.txt", &calendar, &error))
        << error;
    return calendar;
  }
  void SaveHost(HostCalendar calendar) {
    for (HostEvent& e : calendar.events) {
      if (e.number < 0) e.number = calendar.AllocateNumber();
    }
    std::string error;
    ASSERT_TRUE(velqor::drivers::SaveCalendar(dir + "host-calendar.txt", calendar, &error))
        << error;
  }
  static HostEvent HostSingle(const std::string& text, int32_t start) {
    HostEvent e;
    e.description = text;
    e.start = start;
    e.end = start + 3600;
    return e;
  }

  // Each side as "text at time" lines, sorted, a repeating handheld event with its exceptions.
  std::vector<std::string> HostLines() {
    std::vector<std::string> lines;
    for (const HostEvent& e : Host().events) {
      lines.push_back(e.description + " " + Show(e.start) + (e.repeating ? " (occurrence)" : ""));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  std::vector<std::string> PilotLines() {
    std::vector<std::string> lines;
    for (const Unpacked& u : PilotRecords()) {
      std::string line = u.event.text + " " + Show(u.event.start);
      if (u.repeating) {
        line += " repeating";
        for (int32_t day : u.exceptions) line += " except " + Show(day).substr(0, 10);
      }
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  // The handheld ID of each host event that has one, by text and start.
  std::map<std::string, uint32_t> HostIds() {
    std::map<std::string, uint32_t> ids;
    for (const HostEvent& e : Host().events) {
      if (!e.repeating) ids[e.description + " " + Show(e.start)] = e.recordId;
    }
    return ids;
  }
  void EditPilot(uint32_t id, const Event& e, uint8_t attributes) {
    velqor::platform::HandheldRecord* r = Db().FindRecord(id);
    ASSERT_NE(r, nullptr);
    Event changed = e;
    changed.id = id;
    *r = Pack({.event = changed, .attributes = attributes});
  }
  uint32_t PilotIdOf(const std::string& text) {
    for (const Unpacked& u : PilotRecords()) {
      if (u.event.text == text) return u.id;
    }
    ADD_FAILURE() << "no handheld record " << text;
    return 0;
  }
  std::vector<int32_t> Activities() {
    std::vector<int32_t> codes;
    for (const auto& e : log.entries()) codes.push_back(e.activity);
    return codes;
  }

  void* handle_ = nullptr;
  OpenConduitFn open_ = nullptr;
  velqor::platform::MemorySettingsStore store_;
  HKEY root_ = 0;
};

inline std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace datebook_test
