// The exceptions of a repeating Date Book event: adding them and asking whether a day is one,
// for events with few to very many exceptions.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "platform/table/table.h"
#include "platform/testing/test_support.h"

namespace {

constexpr int32_t kFirstMorning = 1704096000;  // 2024-01-01 09:00 in Berlin
constexpr int32_t kDay = 86400;

// Mornings of every other day, so that half the days looked up are exceptions.
std::vector<int32_t> Mornings(int64_t count) {
  std::vector<int32_t> mornings;
  for (int64_t i = 0; i < count; ++i) {
    mornings.push_back(kFirstMorning + static_cast<int32_t>(2 * i) * kDay);
  }
  return mornings;
}

void BM_AddExceptions(benchmark::State& state) {
  velqor::test_support::ScopedTimeZone zone("Europe/Berlin");
  const std::vector<int32_t> mornings = Mornings(state.range(0));
  for (auto _ : state) {
    CDateBkTable table;
    CDateBkRecord record(table, 0);
    table.AppendBlankRecord(record);
    for (int32_t morning : mornings) benchmark::DoNotOptimize(record.AddException(morning));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddExceptions)->RangeMultiplier(8)->Range(8, 4096);

void BM_IsException(benchmark::State& state) {
  velqor::test_support::ScopedTimeZone zone("Europe/Berlin");
  const std::vector<int32_t> mornings = Mornings(state.range(0));
  CDateBkTable table;
  CDateBkRecord record(table, 0);
  table.AppendBlankRecord(record);
  for (int32_t morning : mornings) record.AddException(morning);
  const int32_t days = static_cast<int32_t>(2 * mornings.size());
  int32_t day = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(record.IsException(kFirstMorning + day * kDay + 3600));
    day = day + 1 < days ? day + 1 : 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IsException)->RangeMultiplier(8)->Range(8, 4096);

}  // namespace
