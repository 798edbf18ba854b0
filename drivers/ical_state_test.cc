#include "drivers/ical_state.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/testing/test_support.h"

namespace velqor::drivers {
namespace {

class IcalStateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  std::string Path() const { return scratch_.path() + "/icalhost.db"; }
  velqor::test_support::ScratchDir scratch_;
};

TEST_F(IcalStateTest, NumbersAndRecordIdsLastAcrossRunsButNotAcrossACrash) {
  std::string error;
  const OccurrenceKey single{"a", ""}, occurrence{"b", "20240306T170000Z"};
  {
    IcalState s;
    ASSERT_TRUE(s.Open(Path(), &error)) << error;
    ASSERT_TRUE(s.StartRound(&error));
    EXPECT_EQ(s.TakeNumber(single), 0);
    EXPECT_EQ(s.TakeNumber(occurrence), 1);
    ASSERT_TRUE(s.BindRecordId(occurrence, 0x00A00001));
    ASSERT_TRUE(s.BindSeries(7, "series"));
    ASSERT_TRUE(s.SetWindow(100, 200));
    ASSERT_TRUE(s.Commit(&error)) << error;
  }
  {
    // Everything of this run is lost with it: no commit.
    IcalState s;
    ASSERT_TRUE(s.Open(Path(), &error));
    ASSERT_TRUE(s.StartRound(&error));
    EXPECT_EQ(s.TakeNumber({"c", ""}), 2);
    ASSERT_TRUE(s.BindRecordId(single, 0x00A00001));
  }
  IcalState s;
  ASSERT_TRUE(s.Open(Path(), &error));
  EXPECT_EQ(s.NumberOf(single), 0);
  EXPECT_EQ(s.NumberOf(occurrence), 1);
  EXPECT_FALSE(s.NumberOf({"c", ""}).has_value());
  EXPECT_EQ(s.KeyOfRecordId(0x00A00001), occurrence);
  EXPECT_EQ(s.KeyOfNumber(1), occurrence);
  EXPECT_EQ(s.SeriesUid(7), "series");
  int64_t start = 0, end = 0;
  ASSERT_TRUE(s.GetWindow(&start, &end));
  EXPECT_EQ(start, 100);
  EXPECT_EQ(end, 200);
  // A record ID moves to the occurrence it is bound to last.
  ASSERT_TRUE(s.BindRecordId(single, 0x00A00001));
  EXPECT_EQ(s.KeyOfRecordId(0x00A00001), single);
  EXPECT_FALSE(s.RecordIdOf(occurrence).has_value());
}

TEST_F(IcalStateTest, OnlyTheWindowsEventsHoldNumbersSoTenThousandAreEnoughForAnyCalendar) {
  std::string error;
  IcalState s;
  ASSERT_TRUE(s.Open(Path(), &error));
  // Thirty rounds of 5000 new events each: 150,000 events in all.
  std::set<int32_t> lastRound;
  for (int round = 0; round < 30; ++round) {
    ASSERT_TRUE(s.StartRound(&error));
    std::set<int32_t> numbers;
    for (int i = 0; i < 5000; ++i) {
      const int32_t n = s.TakeNumber({"r" + std::to_string(round) + "-" + std::to_string(i), ""});
      ASSERT_GE(n, 0) << "round " << round;
      numbers.insert(n);
    }
    EXPECT_EQ(numbers.size(), 5000u);
    // The previous extract's numbers are not given out again at once: the conduit's backup
    // still refers to them.
    for (int32_t n : numbers) EXPECT_FALSE(lastRound.count(n)) << "round " << round;
    lastRound = numbers;
  }
  // An event seen in every round keeps its number.
  ASSERT_TRUE(s.StartRound(&error));
  const int32_t kept = s.TakeNumber({"steady", ""});
  ASSERT_TRUE(s.StartRound(&error));
  EXPECT_EQ(s.TakeNumber({"steady", ""}), kept);
  ASSERT_TRUE(s.Commit(&error));
}

}  // namespace
}  // namespace velqor::drivers
