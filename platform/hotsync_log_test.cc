#include "platform/hotsync_log.h"

#include <gtest/gtest.h>

#include <vector>

namespace velqor::platform {
namespace {

class HotSyncLogTest : public ::testing::Test {
 protected:
  void TearDown() override { SetHotSyncLog(nullptr); }
  MemoryLog log;
};

// The conduit writes its header before its first problem line: start, closing and continuation
// lines must not count, every other activity must.
TEST_F(HotSyncLogTest, OnlyProblemEntriesCount) {
  struct Case {
    int32_t activity;
    bool problem;
  };
  const Case cases[] = {{kLogContinuation, false},
                        {kLogRunStart, false},
                        {kLogRunClean, false},
                        {kLogRunProblems, false},
                        {kLogShellFailure, true},
                        {1, true},
                        {8, true},
                        {17, true},
                        {0, true},
                        {18, true}};
  SetHotSyncLog(&log);
  int32_t expected = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(IsProblemActivity(c.activity), c.problem) << c.activity;
    EXPECT_EQ(LogWrite("line", c.activity, 0), 0);
    if (c.problem) ++expected;
    EXPECT_EQ(LogEntryCount(), expected) << "after activity " << c.activity;
  }
  EXPECT_EQ(log.entries().size(), std::size(cases));
}

TEST_F(HotSyncLogTest, HeaderRuleOfARun) {
  SetHotSyncLog(&log);
  LogWrite("", kLogRunStart, 0);
  EXPECT_EQ(LogEntryCount() & 0xFFFF, 0);  // no problem yet: the header is due
  LogWrite("-- Date Book", kLogContinuation, 0);
  EXPECT_EQ(LogEntryCount() & 0xFFFF, 0);  // the header alone is no problem
  LogWrite("   - Could not delete the following record on Pilot:", 12, 0);
  EXPECT_NE(LogEntryCount() & 0xFFFF, 0);
  log.Clear();
  EXPECT_EQ(LogEntryCount(), 0);
}

TEST_F(HotSyncLogTest, NullTextIsAnEmptyLine) {
  SetHotSyncLog(&log);
  LogWrite(nullptr, 8, 0);
  log.Write(nullptr, kLogContinuation, 0);
  ASSERT_EQ(log.entries().size(), 2u);
  EXPECT_EQ(log.entries()[0].text, "");
  EXPECT_EQ(log.entries()[0].activity, 8);
  EXPECT_EQ(log.entries()[1].text, "");
}

TEST_F(HotSyncLogTest, WithoutALogLinesAreDiscarded) {
  SetHotSyncLog(nullptr);
  EXPECT_EQ(LogWrite("lost", 8, 0), 0);
  EXPECT_EQ(LogEntryCount(), 0);
  EXPECT_TRUE(log.entries().empty());
}

// A log answering a count whose low 16 bits are 0 would make the conduit repeat its header.
class CountingLog : public HotSyncLog {
 public:
  explicit CountingLog(int32_t count) : count_(count) {}
  void Write(const char*, int32_t, int32_t) override {}
  int32_t EntryCount() override { return count_; }

 private:
  int32_t count_;
};

TEST_F(HotSyncLogTest, EntryCountKeepsItsLowBitsNonzeroOnceAProblemWasWritten) {
  const std::pair<int32_t, int32_t> cases[] = {
      {0, 0}, {1, 1}, {0xFFFF, 0xFFFF}, {0x10000, 0xFFFF}, {0x7FFFFFFF, 0xFFFF}, {-3, 0}};
  for (const auto& [count, answered] : cases) {
    CountingLog counting(count);
    SetHotSyncLog(&counting);
    EXPECT_EQ(LogEntryCount(), answered) << count;
  }
}

}  // namespace
}  // namespace velqor::platform
