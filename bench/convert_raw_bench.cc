// Converting Date Book records between the handheld's packed form and the desktop's table
// record, for a plain event and for a repeating one with exceptions, a note and an alarm.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "convert/datebook_converter.h"
#include "platform/handles.h"
#include "platform/testing/test_support.h"

namespace {

constexpr int32_t kMorning = 1709596800 + 9 * 3600;  // 2024-03-05 09:00 UTC

void FillEvent(CDateBkRecord& r, bool rich) {
  r.SetStartTime(kMorning);
  r.SetEndTime(kMorning + 2700);
  r.SetDescription("Staff meeting");
  if (!rich) return;
  r.SetAlarmFlag(1);
  r.SetAlarmAdvTime(10);
  r.SetNote("Agenda:\r\n1. budget\r\n2. schedule");
  r.SetRepWeekly(CWeekly(0x2A, 1, -1, kSunday));
  for (int week = 1; week <= 6; ++week) r.AddException(kMorning + week * 7 * 86400);
}

// A desktop record and a data buffer the size the handheld gives.
struct Conversion {
  explicit Conversion(bool rich) : bytes(4096) {
    table.AppendBlankRecord(record);
    FillEvent(record, rich);
    raw.buffer = velqor::platform::RegisterPointer(bytes.data());
    raw.capacity = static_cast<uint16_t>(bytes.size());
  }
  ~Conversion() { velqor::platform::ReleasePointer(raw.buffer); }
  CDateBkTable table;
  CDateBkRecord record{table, 0};
  std::vector<uint8_t> bytes;
  RawRecord raw{};
  CDateBkConverter converter;
};

void BM_RecordToRaw(benchmark::State& state) {
  velqor::test_support::ScopedTimeZone zone("UTC");
  Conversion c(state.range(0) != 0);
  for (auto _ : state) {
    if (c.converter.RecordToRaw(c.record, c.raw) != 0) state.SkipWithError("not converted");
    benchmark::DoNotOptimize(c.bytes.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordToRaw)->Arg(0)->Arg(1)->ArgName("rich");

void BM_RawToRecord(benchmark::State& state) {
  velqor::test_support::ScopedTimeZone zone("UTC");
  Conversion c(state.range(0) != 0);
  if (c.converter.RecordToRaw(c.record, c.raw) != 0) state.SkipWithError("not converted");
  for (auto _ : state) {
    if (c.converter.RawToRecord(c.record, c.raw) != 0) state.SkipWithError("not converted");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawToRecord)->Arg(0)->Arg(1)->ArgName("rich");

}  // namespace
