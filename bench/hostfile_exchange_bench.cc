// Saving and loading an exchange file of 2000 host records.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "hostfile/vuzur_record.h"
#include "hostfile/vuzur_table.h"
#include "platform/testing/test_support.h"

namespace {

constexpr int kRecords = 2000;
constexpr int32_t kFirstMorning = 1709647200;  // 2024-03-05 09:00 in New York

// A table of host records: timed and untimed events, some with alarms, notes and privacy.
void Fill(CVuzurTable& table) {
  for (int i = 0; i < kRecords; ++i) {
    CVuzurRecord r(table, 0);
    table.AppendBlankRecord(r);
    r.SetRecordId(0x00A00000u + static_cast<RecordId>(i));
    r.SetHostNumber(i + 1);
    const int32_t start = kFirstMorning + (i / 4) * 86400 + (i % 4) * 7200;
    r.SetStartTime(start);
    r.SetEndTime(start + 2700);
    r.SetUnTimedFlag(i % 7 == 0);
    r.SetDescription("Meeting " + std::to_string(i) + " with the planning group");
    if (i % 3 == 0) {
      r.SetAlarmFlag(1);
      r.SetAlarmAdvTime(15);
    }
    if (i % 5 == 0) r.SetNote("Agenda:\r\n1. budget\r\n2. schedule for room " + std::to_string(i));
    r.SetPrivate(i % 11 == 0);
  }
}

void BM_SaveExchangeFile(benchmark::State& state) {
  velqor::test_support::ScopedTimeZone zone("America/New_York");
  velqor::test_support::ScratchDir dir;
  const std::string path = dir.File("datebook.dat");
  CVuzurTable table;
  Fill(table);
  for (auto _ : state) {
    if (table.SaveTo(path) != 0) state.SkipWithError("the exchange file was not saved");
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_SaveExchangeFile)->Unit(benchmark::kMillisecond);

void BM_LoadExchangeFile(benchmark::State& state) {
  velqor::test_support::ScopedTimeZone zone("America/New_York");
  velqor::test_support::ScratchDir dir;
  const std::string path = dir.File("datebook.dat");
  {
    CVuzurTable table;
    Fill(table);
    if (table.SaveTo(path) != 0) state.SkipWithError("the exchange file was not saved");
  }
  for (auto _ : state) {
    CVuzurTable table;
    if (table.LoadFrom(path, 0) != 0 || table.GetRecordCount() != kRecords) {
      state.SkipWithError("the exchange file did not load whole");
    }
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_LoadExchangeFile)->Unit(benchmark::kMillisecond);

}  // namespace
