// Saving and loading exchange files of 2000 and of 9999 host records (the most the count field
// takes), beside a plain read and write of the same bytes: what the format's own work costs on
// top of moving the file. The plain write replaces the file the same way a save does (temporary
// file, flushed to the disk, renamed), so both sides pay the same for durability.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "hostfile/vuzur_record.h"
#include "hostfile/vuzur_table.h"
#include "platform/classlib.h"
#include "platform/testing/test_support.h"

namespace {

constexpr int32_t kFirstMorning = 1709647200;  // 2024-03-05 09:00 in New York

// A table of host records: timed and untimed events, some with alarms, notes and privacy.
void Fill(CVuzurTable& table, int records) {
  for (int i = 0; i < records; ++i) {
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

// A scratch directory holding the exchange file of the benchmark's size.
class ExchangeFile {
 public:
  explicit ExchangeFile(int records) : records_(records), path_(dir_.File("datebook.dat")) {
    CVuzurTable table;
    Fill(table, records);
    ok_ = table.SaveTo(path_) == 0;
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }
  std::string Other(const char* name) const { return dir_.File(name); }
  int records() const { return records_; }

 private:
  velqor::test_support::ScopedTimeZone zone_{"America/New_York"};
  velqor::test_support::ScratchDir dir_;
  int records_;
  std::string path_;
  bool ok_ = false;
};

void Report(benchmark::State& state, const ExchangeFile& file) {
  state.SetItemsProcessed(state.iterations() * file.records());
  const auto bytes = velqor::test_support::ReadFileIfAny(file.path());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes ? bytes->size() : 0));
}

void BM_SaveExchangeFile(benchmark::State& state) {
  ExchangeFile file(static_cast<int>(state.range(0)));
  CVuzurTable table;
  if (!file.ok() || table.LoadFrom(file.path(), 0) != 0) state.SkipWithError("no exchange file");
  const std::string out = file.Other("saved.dat");
  for (auto _ : state) {
    if (table.SaveTo(out) != 0) state.SkipWithError("the exchange file was not saved");
  }
  Report(state, file);
}

void BM_LoadExchangeFile(benchmark::State& state) {
  ExchangeFile file(static_cast<int>(state.range(0)));
  if (!file.ok()) state.SkipWithError("no exchange file");
  for (auto _ : state) {
    CVuzurTable table;
    if (table.LoadFrom(file.path(), 0) != 0 || table.GetRecordCount() != file.records()) {
      state.SkipWithError("the exchange file did not load whole");
    }
  }
  Report(state, file);
}

// What a synchronization does with each of its files: load it whole and save it again.
void BM_LoadSaveExchangeFile(benchmark::State& state) {
  ExchangeFile file(static_cast<int>(state.range(0)));
  if (!file.ok()) state.SkipWithError("no exchange file");
  const std::string out = file.Other("saved.dat");
  for (auto _ : state) {
    CVuzurTable table;
    if (table.LoadFrom(file.path(), 0) != 0 || table.GetRecordCount() != file.records() ||
        table.SaveTo(out) != 0) {
      state.SkipWithError("the exchange file did not load and save");
    }
  }
  Report(state, file);
}

// The same bytes read whole and written whole, with the save's replacement of the file.
void BM_PlainReadWrite(benchmark::State& state) {
  ExchangeFile file(static_cast<int>(state.range(0)));
  if (!file.ok()) state.SkipWithError("no exchange file");
  const std::string out = file.Other("copied.dat");
  for (auto _ : state) {
    CFile in;
    std::string bytes;
    int32_t cause = 0;
    if (in.Open(file.path(), CFile::modeRead, &cause)) {
      bytes.resize(static_cast<size_t>(in.GetLength()));
      bytes.resize(in.Read(bytes.data(), static_cast<uint32_t>(bytes.size())));
      in.Close();
    }
    CAtomicFile copy;
    if (bytes.empty() || !copy.Open(out, &cause)) {
      state.SkipWithError("the file was not copied");
      break;
    }
    copy.file().Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (!copy.Commit(&cause)) state.SkipWithError("the copy was not committed");
  }
  Report(state, file);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(2000)->Arg(9999)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_SaveExchangeFile)->Apply(Sizes);
BENCHMARK(BM_LoadExchangeFile)->Apply(Sizes);
BENCHMARK(BM_LoadSaveExchangeFile)->Apply(Sizes);
BENCHMARK(BM_PlainReadWrite)->Apply(Sizes);

}  // namespace
