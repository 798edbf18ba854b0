#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "engine/engine_test_support.h"
#include "engine/sync_monitor.h"

namespace engine_test {
namespace {

class LogMessagesTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    record_ = std::make_unique<CDateBkRecord>(table_, 0);
    table_.AppendBlankRecord(*record_);
    record_->SetRecordId(42);
  }
  CDateBkTable table_;
  std::unique_ptr<CDateBkRecord> record_;
};

const std::pair<std::string, int32_t> kHeader = {"-- Date Book", -1};
const std::pair<std::string, int32_t> kDescription = {"       record 42", -1};
const std::pair<std::string, int32_t> kCheckConnections = {
    "     Please check your connections and try again.", -1};
const std::pair<std::string, int32_t> kDiskFull = {
    "     Your Desktop disk may be full.  Check the disk space and HotSync again.", -1};

TEST_F(LogMessagesTest, EveryWriterWritesItsLinesInOrderBehindTheHeader) {
  struct Case {
    const char* writer;
    std::function<void(TestMonitor&, CBaseRecord&)> write;
    LogLines lines;  // after the header
  };
  const Case cases[] = {
      {"LogAddFailed",
       [](TestMonitor& m, CBaseRecord& r) { m.LogAddFailed(r); },
       {{"   - Could not copy the following record to Pilot:", 9},
        kDescription,
        {"     Your Pilot may be full.  Check the Pilot's Memory Application.", -1}}},
      {"LogPurgeFailed",
       [](TestMonitor& m, CBaseRecord&) { m.LogPurgeFailed(); },
       {{"   - Could not purge the deleted records on Pilot.", 10}, kCheckConnections}},
      {"LogDeleteFailed",
       [](TestMonitor& m, CBaseRecord& r) { m.LogDeleteFailed(r); },
       {{"   - Could not delete the following record on Pilot:", 12},
        kDescription,
        kCheckConnections}},
      {"LogModifyFailed",
       [](TestMonitor& m, CBaseRecord& r) { m.LogModifyFailed(r); },
       {{"   - Could not modify the following record on Pilot:", 11},
        kDescription,
        kCheckConnections}},
      {"LogDesktopCopyFailed",
       [](TestMonitor& m, CBaseRecord& r) { m.LogDesktopCopyFailed(r); },
       {{"   - Could not copy the following record to the Desktop:", 13}, kDescription}},
      {"LogCategoryMoveFailed",
       [](TestMonitor& m, CBaseRecord&) { m.LogCategoryMoveFailed("Work"); },
       {{"   - Could not move the Pilot records in category 'Work' to 'Unfiled'.", 7},
        kCheckConnections}},
      {"LogReadFailed",
       [](TestMonitor& m, CBaseRecord&) { m.LogReadFailed(); },
       {{"   - Could not read the next Pilot record.", 8}, kCheckConnections}},
      {"LogTooManyCategories",
       [](TestMonitor& m, CBaseRecord&) { m.LogTooManyCategories("Misc"); },
       {{"   - Only 15 categories are allowed.  All records in category 'Misc'", 3},
        {"     were changed to 'Unfiled'.", -1}}},
      {"LogCategoryDeleted Pilot",
       [](TestMonitor& m, CBaseRecord&) { m.LogCategoryDeleted("Travel", "Pilot"); },
       {{"   - Pilot category 'Travel' has been deleted and all of", 4},
        {"     the records in this category have been moved to 'Unfiled'.", -1}}},
      {"LogCategoryDeleted Desktop",
       [](TestMonitor& m, CBaseRecord&) { m.LogCategoryDeleted("Home", "Desktop"); },
       {{"   - Desktop category 'Home' has been deleted and all of", 4},
        {"     the records in this category have been moved to 'Unfiled'.", -1}}},
      {"LogDoubleModify",
       [](TestMonitor& m, CBaseRecord& r) { m.LogDoubleModify(r); },
       {{"   - The following record was modified on both Pilot and the Desktop:", 1},
        kDescription,
        {"     This record will be duplicated on each platform. The Pilot record marked to", -1},
        {"     be archived was not archived.  Delete the unwanted record and HotSync again.", -1}}},
      {"LogModifiedAndDeleted",
       [](TestMonitor& m, CBaseRecord& r) { m.LogModifiedAndDeleted(r); },
       {{"   - The following record was modified on one platform and deleted on the other.", 2},
        {"     The modified version will appear on both platforms.", -1},
        kDescription}},
      {"LogMovedTo1970",
       [](TestMonitor& m, CBaseRecord& r) { m.LogMovedTo1970(r); },
       {{"   - Pilot Desktop does not support events before 1970.  The following", 5},
        {"     event was moved to 1970:", -1},
        kDescription}},
      {"LogNotArchived",
       [](TestMonitor& m, CBaseRecord&) { m.LogNotArchived(); },
       {{"   - Some or all of your deleted records were not archived.", 16}, kDiskFull}},
      {"LogDesktopNotSaved",
       [](TestMonitor& m, CBaseRecord&) { m.LogDesktopNotSaved(); },
       {{"   - Could not save the Desktop file.", 17}, kDiskFull}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.writer);
    log.Clear();
    TestMonitor monitor(props, module);
    c.write(monitor, *record_);
    LogLines expected = {kHeader};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(Lines(), expected);
  }
}

TEST_F(LogMessagesTest, TwoFailedDeletionsShareOneHeader) {
  TestMonitor monitor(props, module);
  CDateBkRecord second(table_, 0);
  table_.AppendBlankRecord(second);
  second.SetRecordId(43);
  monitor.LogDeleteFailed(*record_);
  monitor.LogDeleteFailed(second);
  const LogLines expected = {
      kHeader,
      {"   - Could not delete the following record on Pilot:", 12},
      kDescription,
      kCheckConnections,
      {"   - Could not delete the following record on Pilot:", 12},
      {"       record 43", -1},
      kCheckConnections,
  };
  EXPECT_EQ(Lines(), expected);
}

TEST_F(LogMessagesTest, NoHeaderOnceAProblemWasLoggedBySomeoneElse) {
  log.Write("", 19, 0);  // a start line is no problem: the header still comes
  TestMonitor monitor(props, module);
  monitor.LogReadFailed();
  EXPECT_EQ(Lines()[1], kHeader);

  log.Clear();
  log.Write("Driver failed", 22, 0);
  monitor.LogReadFailed();
  const LogLines expected = {
      {"Driver failed", 22}, {"   - Could not read the next Pilot record.", 8}, kCheckConnections};
  EXPECT_EQ(Lines(), expected);
}

TEST_F(LogMessagesTest, AMonitorWithoutDescriptionOrNameWritesEmptyTexts) {
  CSyncMonitor monitor(nullptr, props, module);
  monitor.LogAddFailed(*record_);
  const LogLines expected = {
      {"-- ", -1},
      {"   - Could not copy the following record to Pilot:", 9},
      {"", -1},
      {"     Your Pilot may be full.  Check the Pilot's Memory Application.", -1}};
  EXPECT_EQ(Lines(), expected);
}

// Fills every byte it is given, leaving no NUL.
class OverfullMonitor : public TestMonitor {
 public:
  using TestMonitor::TestMonitor;
  void DescribeRecord(CBaseRecord&, char* buffer) override {
    std::memset(buffer, 'd', kLogTextSize);
  }
  int32_t GetDisplayName(char* buffer, uint16_t size) override {
    std::memset(buffer, 'n', size);
    return size;
  }
};

TEST_F(LogMessagesTest, TextsThatFillTheirBuffersAreCutInsideThem) {
  OverfullMonitor monitor(props, module);
  monitor.LogDesktopCopyFailed(*record_);
  monitor.WriteRunEndLine(21);
  const LogLines expected = {{"-- " + std::string(kLogTextSize - 1, 'n'), -1},
                             {"   - Could not copy the following record to the Desktop:", 13},
                             {std::string(kLogTextSize - 1, 'd'), -1},
                             {std::string(kRunNameSize - 1, 'n'), 21}};
  EXPECT_EQ(Lines(), expected);
}

TEST_F(LogMessagesTest, ACleanRunWritesTwoLines) {
  TestMonitor monitor(props, module);
  monitor.WriteRunStartLine();
  monitor.WriteRunEndLine(velqor::platform::kLogRunClean);
  EXPECT_EQ(Lines(), (LogLines{{"", 19}, {"Date Book", 20}}));

  log.Clear();
  monitor.WriteRunStartLine();
  monitor.LogReadFailed();
  monitor.WriteRunEndLine(velqor::platform::kLogRunProblems);
  const LogLines expected = {{"", 19},
                             kHeader,
                             {"   - Could not read the next Pilot record.", 8},
                             kCheckConnections,
                             {"Date Book", 21}};
  EXPECT_EQ(Lines(), expected);
}

}  // namespace
}  // namespace engine_test
