#include "platform/memory_handheld.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace velqor::platform {
namespace {

// Packed record fields are copied before the test macros bind references to them.
template <typename T>
T Val(T value) {
  return value;
}

constexpr uint8_t kGuard = 0xEE;

// A data buffer with guard bytes after its capacity, reachable through a pointer slot.
class SlotBuffer {
 public:
  explicit SlotBuffer(size_t capacity, size_t guard = 16)
      : capacity_(capacity), bytes_(capacity + guard, kGuard) {
    handle_ = RegisterPointer(bytes_.data());
  }
  ~SlotBuffer() { ReleasePointer(handle_); }
  SlotBuffer(const SlotBuffer&) = delete;
  SlotBuffer& operator=(const SlotBuffer&) = delete;

  uint32_t handle() const { return handle_; }
  uint8_t* data() { return bytes_.data(); }
  std::vector<uint8_t> Content(size_t n) const { return {bytes_.begin(), bytes_.begin() + n}; }
  bool GuardIntact() const {
    for (size_t i = capacity_; i < bytes_.size(); ++i) {
      if (bytes_[i] != kGuard) return false;
    }
    return true;
  }
  void Fill(const std::vector<uint8_t>& data) {
    std::memcpy(bytes_.data(), data.data(), data.size());
  }

 private:
  size_t capacity_;
  std::vector<uint8_t> bytes_;
  uint32_t handle_;
};

HandheldRecord Rec(uint32_t id, uint8_t attributes, uint8_t category, std::vector<uint8_t> data) {
  HandheldRecord r;
  r.id = id;
  r.attributes = attributes;
  r.category = category;
  r.data = std::move(data);
  return r;
}

class MemoryHandheldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HandheldDatabase db;
    db.name = "DatebookDB";
    db.creator = 0x64617465;  // 'date'
    db.type = 0x44415441;     // 'DATA'
    db.uniqueIdSeed = 0x300;
    db.records = {
        Rec(0x101, 0, 1, {1, 2, 3}),                                // 0 clean
        Rec(0x102, kAttrDirty, 2, {4, 5}),                          // 1 modified
        Rec(0x103, kAttrDeleted, 3, {}),                            // 2 deleted, no data left
        Rec(0x104, 0, 4, {6}),                                      // 3 clean
        Rec(0x105, kAttrDeleted | kAttrArchive, 5, {7, 8, 9, 10}),  // 4 archived, data kept
        Rec(0x106, kAttrDirty | kAttrPrivate, 6, {11}),             // 5 modified, private
    };
    hh.AddDatabase(std::move(db));
    ASSERT_EQ(hh.OpenDatabase("DatebookDB", 0, &handle, kOpenModeReadWrite), 0);
  }

  RawRecord Raw(SlotBuffer& buffer, uint16_t capacity) {
    RawRecord r{};
    r.dbHandle = handle;
    r.capacity = capacity;
    r.buffer = buffer.handle();
    return r;
  }

  HandheldDatabase& db() { return *hh.FindDatabase("DatebookDB"); }

  std::vector<uint32_t> WalkModified() {
    SlotBuffer buffer(64);
    std::vector<uint32_t> ids;
    for (int guard = 0; guard < 100; ++guard) {
      RawRecord r = Raw(buffer, 64);
      int32_t status = hh.ReadNextModified(&r);
      if (status != 0) {
        EXPECT_EQ(status, kSyncErrNotFound);
        break;
      }
      ids.push_back(Val(r.recordId));
    }
    return ids;
  }

  MemoryHandheld hh;
  uint8_t handle = 0;
};

TEST_F(MemoryHandheldTest, OpenAnswersNotFoundForAbsentOrOverlongNames) {
  uint8_t h = 0;
  EXPECT_EQ(hh.OpenDatabase("AddressDB", 0, &h, kOpenModeReadWrite), kSyncErrNotFound);
  // 40 characters without a NUL within the name field's 32 bytes: never found, never overread.
  std::vector<char> longName(40, 'D');
  longName.push_back('\0');
  EXPECT_EQ(hh.OpenDatabase(longName.data(), 0, &h, kOpenModeReadWrite), kSyncErrNotFound);
  EXPECT_EQ(hh.OpenDatabase(nullptr, 0, &h, kOpenModeReadWrite), kSyncErrBadArgument);
  EXPECT_EQ(hh.OpenDatabase("DatebookDB", 0, nullptr, kOpenModeReadWrite), kSyncErrBadArgument);
}

TEST_F(MemoryHandheldTest, HandlesAreOneTo255AndFreedByClose) {
  std::set<uint8_t> handles = {handle};
  for (int i = 1; i < 255; ++i) {
    uint8_t h = 0;
    ASSERT_EQ(hh.OpenDatabase("DatebookDB", 0, &h, kOpenModeReadWrite), 0);
    EXPECT_NE(h, 0);
    handles.insert(h);
  }
  EXPECT_EQ(handles.size(), 255u);
  uint8_t extra = 0;
  EXPECT_EQ(hh.OpenDatabase("DatebookDB", 0, &extra, kOpenModeReadWrite), kSyncErrTooManyOpen);
  ASSERT_EQ(hh.CloseDatabase(77), 0);
  EXPECT_EQ(hh.CloseDatabase(77), kSyncErrBadArgument);
  ASSERT_EQ(hh.OpenDatabase("DatebookDB", 0, &extra, kOpenModeReadWrite), 0);
  EXPECT_EQ(extra, 77);
}

TEST_F(MemoryHandheldTest, CreateFillsTheHandleAndOpensTheDatabase) {
  DatabaseCreateInfo info{};
  info.creator = 0x74657374;
  info.creationByte = 0x08;         // backup
  info.creationValue = 0x44415441;  // 'DATA'
  std::strcpy(info.name, "NewDB");
  ASSERT_EQ(hh.CreateDatabase(&info), 0);
  EXPECT_NE(Val(info.dbHandle), 0);
  EXPECT_NE(Val(info.dbHandle), handle);
  EXPECT_EQ(hh.OpenDatabaseCount(), 2);
  HandheldDatabase* created = hh.FindDatabase("NewDB");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->creator, 0x74657374u);
  EXPECT_EQ(created->type, 0x44415441u);
  EXPECT_EQ(created->flags, 0x0008);
  EXPECT_EQ(created->version, 0);
  // The handle works at once.
  SlotBuffer buffer(8);
  RawRecord r{};
  r.dbHandle = info.dbHandle;
  r.capacity = 8;
  r.buffer = buffer.handle();
  r.size = 1;
  EXPECT_EQ(hh.WriteRecord(&r), 0);
  EXPECT_EQ(created->records.size(), 1u);

  EXPECT_EQ(hh.CreateDatabase(&info), kSyncErrDbExists);
}

TEST_F(MemoryHandheldTest, CreateRefusesNamesThatDoNotFitTheField) {
  DatabaseCreateInfo full{};
  std::memset(full.name, 'N', sizeof full.name);  // 32 characters, no NUL
  EXPECT_EQ(hh.CreateDatabase(&full), kSyncErrBadArgument);
  DatabaseCreateInfo empty{};
  EXPECT_EQ(hh.CreateDatabase(&empty), kSyncErrBadArgument);
  EXPECT_EQ(hh.databases().size(), 1u);

  DatabaseCreateInfo longest{};
  std::memset(longest.name, 'N', 31);
  ASSERT_EQ(hh.CreateDatabase(&longest), 0);
  EXPECT_NE(hh.FindDatabase(std::string(31, 'N')), nullptr);
}

TEST_F(MemoryHandheldTest, ReadByIndexFillsEveryFieldAndEndsWithNotFound) {
  struct Case {
    uint16_t index;
    int32_t status;
    uint32_t id;
    uint8_t attributes;
    int16_t category;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {0, 0, 0x101, 0, 1, {1, 2, 3}},
      {1, 0, 0x102, kAttrDirty, 2, {4, 5}},
      {2, 0, 0x103, kAttrDeleted, 0, {}},  // deleted without data: no category
      {4, 0, 0x105, kAttrDeleted | kAttrArchive, 5, {7, 8, 9, 10}},
      {5, 0, 0x106, kAttrDirty | kAttrPrivate, 6, {11}},
      {6, kSyncErrNotFound, 0, 0, 0, {}},
      {0xFFFF, kSyncErrNotFound, 0, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    SlotBuffer buffer(16);
    RawRecord r = Raw(buffer, 16);
    r.recordIndex = c.index;
    r.size = 999;
    ASSERT_EQ(hh.ReadRecordByIndex(&r), c.status);
    if (c.status != 0) {
      EXPECT_EQ(Val(r.size), 999u);  // a failed read leaves the record alone
      continue;
    }
    EXPECT_EQ(Val(r.recordId), c.id);
    EXPECT_EQ(Val(r.recordIndex), c.index);
    EXPECT_EQ(Val(r.attributes), c.attributes);
    EXPECT_EQ(Val(r.categoryId), c.category);
    EXPECT_EQ(Val(r.size), c.data.size());
    EXPECT_EQ(buffer.Content(c.data.size()), c.data);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(MemoryHandheldTest, ReadByIdFindsTheRecordAndItsIndex) {
  SlotBuffer buffer(16);
  RawRecord r = Raw(buffer, 16);
  r.recordId = 0x104;
  ASSERT_EQ(hh.ReadRecordById(&r), 0);
  EXPECT_EQ(Val(r.recordIndex), 3);
  EXPECT_EQ(Val(r.categoryId), 4);
  EXPECT_EQ(buffer.Content(1), std::vector<uint8_t>{6});
  r.recordId = 0x999;
  EXPECT_EQ(hh.ReadRecordById(&r), kSyncErrNotFound);
}

TEST_F(MemoryHandheldTest, DataNeverWrittenBeyondTheCapacity) {
  db().records[0].data.assign(100, 0x5A);
  struct Case {
    uint16_t capacity;
    int32_t status;
  };
  for (const Case& c : {Case{99, kSyncErrTooBig}, Case{0, kSyncErrTooBig}, Case{100, 0}}) {
    SCOPED_TRACE(c.capacity);
    SlotBuffer buffer(c.capacity);
    RawRecord r = Raw(buffer, c.capacity);
    r.recordIndex = 0;
    EXPECT_EQ(hh.ReadRecordByIndex(&r), c.status);
    EXPECT_TRUE(buffer.GuardIntact());
    EXPECT_EQ(Val(r.size), c.status == 0 ? 100u : 0u);
  }
}

TEST_F(MemoryHandheldTest, RecordWithDataNeedsAResolvableBuffer) {
  RawRecord r{};
  r.dbHandle = handle;
  r.capacity = 64;
  r.buffer = 0;
  r.recordIndex = 0;
  EXPECT_EQ(hh.ReadRecordByIndex(&r), kSyncErrBadArgument);
  // A deleted record without data needs no buffer at all.
  r.recordIndex = 2;
  EXPECT_EQ(hh.ReadRecordByIndex(&r), 0);
  EXPECT_EQ(Val(r.size), 0u);
}

TEST_F(MemoryHandheldTest, ModifiedWalkVisitsDirtyAndDeletedInIndexOrder) {
  EXPECT_EQ(WalkModified(), (std::vector<uint32_t>{0x102, 0x103, 0x105, 0x106}));
  // The end stays the end until the flags are reset.
  EXPECT_TRUE(WalkModified().empty());
  ASSERT_EQ(hh.ResetSyncFlags(handle), 0);
  EXPECT_EQ(db().records[1].attributes, 0);
  EXPECT_EQ(db().records[5].attributes, kAttrPrivate);
  // Deleted records stay modified until purged.
  EXPECT_EQ(WalkModified(), (std::vector<uint32_t>{0x103, 0x105}));
}

TEST_F(MemoryHandheldTest, ModifiedWalkRetriesARecordThatDidNotFit) {
  db().records[1].data.assign(40, 1);
  SlotBuffer small(8);
  RawRecord r = Raw(small, 8);
  EXPECT_EQ(hh.ReadNextModified(&r), kSyncErrTooBig);
  EXPECT_TRUE(small.GuardIntact());
  SlotBuffer large(64);
  r = Raw(large, 64);
  ASSERT_EQ(hh.ReadNextModified(&r), 0);
  EXPECT_EQ(Val(r.recordId), 0x102u);
  EXPECT_EQ(Val(r.size), 40u);
}

TEST_F(MemoryHandheldTest, ModifiedWalkSkipsNothingWhenRecordsBeforeItAreRemoved) {
  db().records = {Rec(1, kAttrDirty, 0, {}), Rec(2, kAttrDeleted, 0, {}), Rec(3, kAttrDirty, 0, {}),
                  Rec(4, kAttrDirty, 0, {}), Rec(5, 0, 0, {})};
  SlotBuffer buffer(16);
  auto next = [&] {
    RawRecord r = Raw(buffer, 16);
    int32_t status = hh.ReadNextModified(&r);
    return status == 0 ? Val(r.recordId) : 0u;
  };
  ASSERT_EQ(next(), 1u);
  ASSERT_EQ(next(), 2u);
  ASSERT_EQ(hh.PurgeDeleted(handle), 0);  // removes record 2, before the walk's position
  EXPECT_EQ(next(), 3u);
  RawRecord del = Raw(buffer, 16);
  del.recordId = 1;
  ASSERT_EQ(hh.DeleteRecord(&del), 0);  // and record 1
  EXPECT_EQ(next(), 4u);
  EXPECT_EQ(next(), 0u);
}

TEST_F(MemoryHandheldTest, WriteWithIdZeroCreatesARecordWithAFreshId) {
  SlotBuffer buffer(32);
  buffer.Fill({9, 8, 7, 6});
  std::set<uint32_t> ids;
  for (int i = 0; i < 3; ++i) {
    RawRecord r = Raw(buffer, 32);
    r.size = 4;
    r.attributes = kAttrDirty | kAttrPrivate;
    r.categoryId = 7;
    ASSERT_EQ(hh.WriteRecord(&r), 0);
    EXPECT_NE(Val(r.recordId), 0u);
    EXPECT_LE(Val(r.recordId), 0xFFFFFFu);
    EXPECT_EQ(db().FindRecord(r.recordId)->data, (std::vector<uint8_t>{9, 8, 7, 6}));
    EXPECT_EQ(db().FindRecord(r.recordId)->category, 7);
    EXPECT_EQ(db().FindRecord(r.recordId)->attributes, kAttrDirty | kAttrPrivate);
    ids.insert(Val(r.recordId));
  }
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(db().records.size(), 9u);
  EXPECT_EQ(db().records.back().id, *ids.rbegin());
  EXPECT_EQ(db().uniqueIdSeed, *ids.rbegin());

  // The ID of a deleted record is not given out again.
  RawRecord del = Raw(buffer, 32);
  del.recordId = *ids.rbegin();
  ASSERT_EQ(hh.DeleteRecord(&del), 0);
  RawRecord r = Raw(buffer, 32);
  ASSERT_EQ(hh.WriteRecord(&r), 0);
  EXPECT_EQ(ids.count(Val(r.recordId)), 0u);
}

TEST_F(MemoryHandheldTest, WriteWithAnIdReplacesOrCreatesThatRecord) {
  SlotBuffer buffer(32);
  buffer.Fill({42});
  RawRecord r = Raw(buffer, 32);
  r.recordId = 0x104;
  r.size = 1;
  r.categoryId = 9;
  ASSERT_EQ(hh.WriteRecord(&r), 0);
  EXPECT_EQ(db().records.size(), 6u);
  EXPECT_EQ(db().records[3].data, std::vector<uint8_t>{42});
  EXPECT_EQ(db().records[3].category, 9);

  r.recordId = 0x777;
  ASSERT_EQ(hh.WriteRecord(&r), 0);
  EXPECT_EQ(Val(r.recordId), 0x777u);
  ASSERT_NE(db().FindRecord(0x777), nullptr);
  EXPECT_EQ(db().records.size(), 7u);
}

TEST_F(MemoryHandheldTest, MalformedWritesChangeNothing) {
  SlotBuffer buffer(16);
  struct Case {
    const char* what;
    std::function<void(RawRecord&)> spoil;
  };
  const Case cases[] = {
      {"size above capacity", [](RawRecord& r) { r.size = 17; }},
      {"no buffer for the data", [](RawRecord& r) { r.buffer = 0; }},
      {"unknown buffer handle", [](RawRecord& r) { r.buffer = 0xFFFFFFF0u; }},
      {"ID beyond 24 bits", [](RawRecord& r) { r.recordId = 0x1000000; }},
      {"category above 15", [](RawRecord& r) { r.categoryId = 16; }},
      {"negative category", [](RawRecord& r) { r.categoryId = -1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawRecord r = Raw(buffer, 16);
    r.recordId = 0x101;
    r.size = 4;
    c.spoil(r);
    EXPECT_EQ(hh.WriteRecord(&r), kSyncErrBadArgument);
    EXPECT_EQ(db().records.size(), 6u);
    EXPECT_EQ(db().records[0].data, (std::vector<uint8_t>{1, 2, 3}));
  }
}

TEST_F(MemoryHandheldTest, UniqueIdsWrapAndSkipIdsInUse) {
  db().uniqueIdSeed = 0xFFFFFE;
  db().records.push_back(Rec(0xFFFFFF, 0, 0, {}));
  db().records.push_back(Rec(1, 0, 0, {}));
  EXPECT_EQ(db().NextUniqueId(), 2u);
  EXPECT_EQ(db().NextUniqueId(), 3u);
  db().uniqueIdSeed = 0x100;  // runs into 0x101 to 0x106
  EXPECT_EQ(db().NextUniqueId(), 0x107u);
}

TEST_F(MemoryHandheldTest, DeleteRemovesAndPurgeDropsDeletedRecords) {
  RawRecord r{};
  r.dbHandle = handle;
  r.recordId = 0x104;
  ASSERT_EQ(hh.DeleteRecord(&r), 0);
  EXPECT_EQ(db().FindRecord(0x104), nullptr);
  EXPECT_EQ(hh.DeleteRecord(&r), kSyncErrNotFound);
  r.recordId = 0;
  EXPECT_EQ(hh.DeleteRecord(&r), kSyncErrNotFound);

  ASSERT_EQ(hh.PurgeDeleted(handle), 0);
  std::vector<uint32_t> left;
  for (const HandheldRecord& rec : db().records) left.push_back(rec.id);
  EXPECT_EQ(left, (std::vector<uint32_t>{0x101, 0x102, 0x106}));
}

TEST_F(MemoryHandheldTest, CategoryBlockReadSizes) {
  struct Case {
    const char* what;
    bool hasBlock;
    size_t blockLength;
    uint16_t bufferSize;
    uint16_t expected;
  };
  const Case cases[] = {
      {"no block: the zero category block", false, 0, 800, 274},
      {"no block into a small buffer", false, 0, 100, 100},
      {"Date Book block", true, 280, 800, 280},
      {"block larger than the buffer", true, 280, 200, 200},
      {"empty block", true, 0, 800, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    db().hasAppInfo = c.hasBlock;
    db().appInfo.assign(c.blockLength, 0);
    for (size_t i = 0; i < c.blockLength; ++i) db().appInfo[i] = static_cast<uint8_t>(i + 1);
    SlotBuffer buffer(c.bufferSize);
    CategoryBlockRecord rec{};
    rec.bufferSize = c.bufferSize;
    rec.buffer = buffer.handle();
    ASSERT_EQ(hh.ReadCategoryBlock(handle, &rec), 0);
    EXPECT_EQ(Val(rec.blockSize), c.expected);
    std::vector<uint8_t> want(c.expected, 0);
    if (c.hasBlock) want.assign(db().appInfo.begin(), db().appInfo.begin() + c.expected);
    EXPECT_EQ(buffer.Content(c.expected), want);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(MemoryHandheldTest, CategoryBlockWriteSizes) {
  struct Case {
    const char* what;
    uint16_t bufferSize;
    uint16_t blockSize;
    int32_t status;
    size_t stored;
  };
  const Case cases[] = {
      {"block size given", 800, 280, 0, 280},
      {"block size 0: the whole buffer", 300, 0, 0, 300},
      {"block larger than its buffer", 100, 280, kSyncErrBadArgument, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    db().hasAppInfo = false;
    db().appInfo.clear();
    SlotBuffer buffer(c.bufferSize, 0);
    for (size_t i = 0; i < c.bufferSize; ++i) buffer.data()[i] = static_cast<uint8_t>(i * 7);
    CategoryBlockRecord rec{};
    rec.bufferSize = c.bufferSize;
    rec.blockSize = c.blockSize;
    rec.buffer = buffer.handle();
    ASSERT_EQ(hh.WriteCategoryBlock(handle, &rec), c.status);
    EXPECT_EQ(db().hasAppInfo, c.status == 0);
    EXPECT_EQ(db().appInfo, buffer.Content(c.stored));
  }
}

TEST_F(MemoryHandheldTest, ChangeCategoryMovesLiveRecordsOnly) {
  db().records[0].category = 3;  // live, category 3
  // records[2] is deleted with category 3 and must stay.
  ASSERT_EQ(hh.ChangeCategory(handle, 3, 0), 0);
  EXPECT_EQ(db().records[0].category, 0);
  EXPECT_EQ(db().records[2].category, 3);
  EXPECT_EQ(db().records[1].category, 2);
  EXPECT_EQ(hh.ChangeCategory(handle, 16, 0), kSyncErrBadArgument);
  EXPECT_EQ(hh.ChangeCategory(handle, 0, 16), kSyncErrBadArgument);
}

TEST_F(MemoryHandheldTest, SystemInfoVersionAndBoundedProductText) {
  hh.SetSystemVersion(2, 1);
  hh.SetProductText("Handheld OS 2.1");
  struct Case {
    uint8_t capacity;
    std::string text;
  };
  for (const Case& c : {Case{255, "Handheld OS 2.1"}, Case{5, "Hand"}, Case{1, ""}}) {
    SCOPED_TRACE(int{c.capacity});
    SlotBuffer text(c.capacity);
    HandheldSystemInfo info{};
    info.textCapacity = c.capacity;
    info.textBuffer = text.handle();
    ASSERT_EQ(hh.ReadSystemInfo(&info), 0);
    EXPECT_EQ(Val(info.majorVersion), 2);
    EXPECT_EQ(Val(info.minorVersion), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), c.text);
    EXPECT_TRUE(text.GuardIntact());
  }
}

TEST_F(MemoryHandheldTest, RegistrationAndYieldCounting) {
  uint32_t conduit = 0;
  ASSERT_EQ(hh.RegisterConduit(&conduit), 0);
  EXPECT_TRUE(hh.IsRegistered());
  EXPECT_EQ(hh.UnregisterConduit(conduit + 1), kSyncErrBadArgument);
  EXPECT_EQ(hh.UnregisterConduit(conduit), 0);
  EXPECT_FALSE(hh.IsRegistered());
  EXPECT_EQ(hh.UnregisterConduit(conduit), kSyncErrBadArgument);
  EXPECT_EQ(hh.RegisterConduit(nullptr), kSyncErrBadArgument);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(hh.YieldCycles(100), 0);
  EXPECT_EQ(hh.yield_cycles(), 3u);
}

TEST_F(MemoryHandheldTest, UnknownHandleOrNullRecordIsABadArgument) {
  RawRecord r{};
  r.dbHandle = 200;
  CategoryBlockRecord block{};
  const std::pair<const char*, std::function<int32_t()>> calls[] = {
      {"ReadRecordById", [&] { return hh.ReadRecordById(&r); }},
      {"ReadRecordByIndex", [&] { return hh.ReadRecordByIndex(&r); }},
      {"ReadNextModified", [&] { return hh.ReadNextModified(&r); }},
      {"WriteRecord", [&] { return hh.WriteRecord(&r); }},
      {"DeleteRecord", [&] { return hh.DeleteRecord(&r); }},
      {"PurgeDeleted", [&] { return hh.PurgeDeleted(200); }},
      {"ResetSyncFlags", [&] { return hh.ResetSyncFlags(200); }},
      {"ReadCategoryBlock", [&] { return hh.ReadCategoryBlock(200, &block); }},
      {"WriteCategoryBlock", [&] { return hh.WriteCategoryBlock(200, &block); }},
      {"ChangeCategory", [&] { return hh.ChangeCategory(200, 1, 2); }},
      {"null record", [&] { return hh.ReadRecordById(nullptr); }},
      {"null block", [&] { return hh.ReadCategoryBlock(handle, nullptr); }},
      {"null info", [&] { return hh.ReadSystemInfo(nullptr); }},
      {"null create", [&] { return hh.CreateDatabase(nullptr); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), kSyncErrBadArgument) << name;
  EXPECT_EQ(db().records.size(), 6u);
}

TEST_F(MemoryHandheldTest, ReplacingAnOpenDatabaseKeepsItsHandleUsable) {
  HandheldDatabase fresh;
  fresh.name = "DatebookDB";
  fresh.records = {Rec(0x900, kAttrDirty, 0, {1})};
  hh.AddDatabase(std::move(fresh));
  EXPECT_EQ(hh.databases().size(), 1u);
  EXPECT_EQ(WalkModified(), std::vector<uint32_t>{0x900});
}

}  // namespace
}  // namespace velqor::platform
