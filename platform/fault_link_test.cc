#include "platform/fault_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/memory_handheld.h"

namespace velqor::platform {
namespace {

// Packed record fields are copied before the test macros bind references to them.
template <typename T>
T Val(T value) {
  return value;
}

class FaultLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HandheldDatabase db;
    db.name = "DatebookDB";
    for (uint32_t id = 1; id <= 4; ++id) {
      db.records.push_back(HandheldRecord{id, kAttrDirty, 0, {static_cast<uint8_t>(id)}});
    }
    hh.AddDatabase(std::move(db));
    ASSERT_EQ(hh.OpenDatabase("DatebookDB", 0, &handle, kOpenModeReadWrite), 0);
    slot = RegisterPointer(buffer);
  }
  void TearDown() override { ReleasePointer(slot); }

  int32_t ReadNext(FaultInjectingLink& link) {
    RawRecord r{};
    r.dbHandle = handle;
    r.capacity = sizeof buffer;
    r.buffer = slot;
    return link.ReadNextModified(&r);
  }
  int32_t WriteNew(FaultInjectingLink& link) {
    RawRecord r{};
    r.dbHandle = handle;
    r.capacity = sizeof buffer;
    r.buffer = slot;
    r.size = 1;
    return link.WriteRecord(&r);
  }
  size_t RecordCount() { return hh.FindDatabase("DatebookDB")->records.size(); }

  MemoryHandheld hh;
  uint8_t handle = 0;
  uint8_t buffer[16] = {};
  uint32_t slot = 0;
};

TEST_F(FaultLinkTest, NthCallFailsWithoutReachingTheHandheld) {
  FaultInjectingLink link(&hh);
  link.FailNth("HhWriteRecord", 2, kSyncErrFull);
  std::vector<int32_t> statuses;
  for (int i = 0; i < 3; ++i) statuses.push_back(WriteNew(link));
  EXPECT_EQ(statuses, (std::vector<int32_t>{0, kSyncErrFull, 0}));
  EXPECT_EQ(RecordCount(), 6u);  // the failed call created nothing
}

TEST_F(FaultLinkTest, FailFromKeepsFailingAndOtherFunctionsAreUntouched) {
  FaultInjectingLink link(&hh);
  link.FailFrom("HhReadNextModified", 2, 0x2005);
  EXPECT_EQ(ReadNext(link), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ReadNext(link), 0x2005);
  EXPECT_EQ(WriteNew(link), 0);
  EXPECT_EQ(link.YieldCycles(100), 0);
  // Only the first read reached the handheld: the walk resumes at the second record.
  RawRecord r{};
  r.dbHandle = handle;
  r.capacity = sizeof buffer;
  r.buffer = slot;
  ASSERT_EQ(hh.ReadNextModified(&r), 0);
  EXPECT_EQ(Val(r.recordId), 2u);
}

TEST_F(FaultLinkTest, RecordsEveryCallWithStatusAndRecordId) {
  FaultInjectingLink link(&hh);
  link.FailNth("HhReadNextModified", 2, kSyncErrNotFound);
  ReadNext(link);
  ReadNext(link);
  WriteNew(link);
  link.PurgeDeleted(handle);
  RawRecord missing{};
  missing.dbHandle = handle;
  missing.recordId = 99;
  link.DeleteRecord(&missing);

  const auto& calls = link.calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].function, "HhReadNextModified");
  EXPECT_EQ(calls[0].status, 0);
  EXPECT_EQ(calls[0].recordId, 1u);  // the record that was read
  EXPECT_EQ(calls[1].status, kSyncErrNotFound);
  EXPECT_EQ(calls[2].function, "HhWriteRecord");
  EXPECT_EQ(calls[2].recordId, hh.FindDatabase("DatebookDB")->records.back().id);
  EXPECT_EQ(calls[3].function, "HhPurgeDeleted");
  EXPECT_EQ(calls[3].recordId, 0u);
  EXPECT_EQ(calls[4].function, "HhDeleteRecord");
  EXPECT_EQ(calls[4].status, kSyncErrNotFound);
  EXPECT_EQ(calls[4].recordId, 99u);
  EXPECT_EQ(link.CountOf("HhReadNextModified"), 2);
  EXPECT_EQ(link.CountOf("HhOpenDatabase"), 0);

  // Clearing the record does not restart the numbering of calls.
  link.ClearCalls();
  link.FailNth("HhReadNextModified", 3, -7);
  EXPECT_EQ(ReadNext(link), -7);
  EXPECT_EQ(link.CountOf("HhReadNextModified"), 1);
}

TEST_F(FaultLinkTest, EveryFunctionIsRecordedUnderItsSyncManagerName) {
  FaultInjectingLink link(&hh);
  uint32_t conduit = 0;
  uint8_t h = 0;
  DatabaseCreateInfo create{};
  RawRecord r{};
  CategoryBlockRecord block{};
  HandheldSystemInfo info{};
  link.RegisterConduit(&conduit);
  link.UnregisterConduit(conduit);
  link.OpenDatabase("DatebookDB", 0, &h, kOpenModeReadWrite);
  link.CreateDatabase(&create);
  link.CloseDatabase(h);
  link.ReadRecordById(&r);
  link.ReadRecordByIndex(&r);
  link.ReadNextModified(&r);
  link.WriteRecord(&r);
  link.DeleteRecord(&r);
  link.PurgeDeleted(h);
  link.ResetSyncFlags(h);
  link.ReadCategoryBlock(h, &block);
  link.WriteCategoryBlock(h, &block);
  link.ReadSystemInfo(&info);
  link.ChangeCategory(h, 1, 0);
  link.YieldCycles(100);
  std::vector<std::string> names;
  for (const auto& c : link.calls()) names.push_back(c.function);
  EXPECT_EQ(names,
            (std::vector<std::string>{
                "HhRegisterConduit", "HhUnregisterConduit", "HhOpenDatabase", "HhCreateDatabase",
                "HhCloseDatabase", "HhReadRecordById", "HhReadRecordByIndex", "HhReadNextModified",
                "HhWriteRecord", "HhDeleteRecord", "HhPurgeDeleted", "HhResetSyncFlags",
                "HhReadCategoryBlock", "HhWriteCategoryBlock", "SyncReadSystemInfo",
                "SyncChangeCategory", "SyncYieldCycles"}));
  // Each name is also what a rule accepts.
  for (const std::string& name : names) EXPECT_TRUE(link.AddRule(name + "@1000=1")) << name;
}

TEST_F(FaultLinkTest, WithoutAnInnerLinkEveryCallIsNoLink) {
  FaultInjectingLink link(nullptr);
  EXPECT_EQ(link.YieldCycles(100), kSyncErrNoLink);
  EXPECT_EQ(ReadNext(link), kSyncErrNoLink);
  EXPECT_EQ(link.calls().size(), 2u);
}

TEST_F(FaultLinkTest, RulesThatParseTakeEffect) {
  struct Case {
    const char* rule;
    int nth;
    bool onward;
    int32_t status;
  };
  const Case cases[] = {
      {"SyncYieldCycles@1=16402", 1, false, 16402},
      {"SyncYieldCycles@3=0x2005", 3, false, 0x2005},
      {"SyncYieldCycles@2=0XfFfF", 2, false, 0xFFFF},
      {"SyncYieldCycles@2=-1", 2, false, -1},
      {"SyncYieldCycles@2=0xFFFFFFFF", 2, false, -1},
      {"SyncYieldCycles@2=-2147483648", 2, false, INT32_MIN},
      {"SyncYieldCycles@2+=0x2001", 2, true, 0x2001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    FaultInjectingLink link(&hh);
    ASSERT_TRUE(link.AddRule(c.rule));
    for (int call = 1; call <= 5; ++call) {
      bool fails = call == c.nth || (c.onward && call > c.nth);
      EXPECT_EQ(link.YieldCycles(100), fails ? c.status : 0) << "call " << call;
    }
  }
}

TEST_F(FaultLinkTest, MalformedRulesAreRejected) {
  const char* rules[] = {
      "",
      "SyncYieldCycles",
      "SyncYieldCycles@1",
      "SyncYieldCycles=1",
      "SyncYieldCycle@1=1",   // unknown function
      "syncyieldcycles@1=1",  // names are exact
      "@1=1",
      "SyncYieldCycles@0=1",  // calls count from 1
      "SyncYieldCycles@-1=1",
      "SyncYieldCycles@=1",
      "SyncYieldCycles@+=1",
      "SyncYieldCycles@1++=1",
      "SyncYieldCycles@1+2=1",
      "SyncYieldCycles@99999999999=1",
      "SyncYieldCycles@1=",
      "SyncYieldCycles@1=-",
      "SyncYieldCycles@1=0x",
      "SyncYieldCycles@1=0x1G",
      "SyncYieldCycles@1=12a",
      "SyncYieldCycles@1=0x100000000",
      "SyncYieldCycles@1=2147483648",
      "SyncYieldCycles@1=-2147483649",
      "SyncYieldCycles@1=1=2",
      " SyncYieldCycles@1=1",
      "SyncYieldCycles@1=1 ",
      "SyncYieldCycles@1@2=1",
  };
  for (const char* rule : rules) {
    FaultInjectingLink link(&hh);
    EXPECT_FALSE(link.AddRule(rule)) << '"' << rule << '"';
    EXPECT_EQ(link.YieldCycles(100), 0) << "a rejected rule must not act: " << rule;
  }
}

TEST_F(FaultLinkTest, FirstAddedMatchingRuleAnswers) {
  FaultInjectingLink link(&hh);
  link.FailFrom("SyncYieldCycles", 1, 11);
  link.FailNth("SyncYieldCycles", 2, 22);
  EXPECT_EQ(link.YieldCycles(100), 11);
  EXPECT_EQ(link.YieldCycles(100), 11);
}

}  // namespace
}  // namespace velqor::platform
