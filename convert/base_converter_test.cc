#include "convert/base_converter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/handles.h"

namespace {

using velqor::platform::RegisterPointer;
using velqor::platform::ReleasePointer;

TEST(BaseConverterTest, ConversionsAreNotSupported) {
  CBaseConverter converter;
  CDateBkTable table;
  CDateBkRecord record(table, 0);
  ASSERT_EQ(table.AppendBlankRecord(record), 0);
  RawRecord raw{};
  CategoryBlockRecord block{};
  CCategoryMgr categories;
  EXPECT_EQ(converter.RecordToRaw(record, raw), -1);
  EXPECT_EQ(converter.RawToRecord(record, raw), -1);
  EXPECT_EQ(converter.RawToCategories(block, categories), -1);
  EXPECT_EQ(converter.CategoriesToRaw(block, categories), -1);
  EXPECT_EQ(converter.PrepareSync(block, &table, 0, 0), 0);
  ASSERT_NE(converter.Text(), nullptr);
  // The text buffer starts out cleared.
  EXPECT_EQ(converter.Text()[0], '\0');
  EXPECT_EQ(converter.Text()[kConvTextBufferSize - 1], '\0');
}

TEST(BaseConverterTest, SwapPositionMapTurnsTheReturnedIdsOnly) {
  struct Case {
    const char* name;
    uint16_t maxEntries;
    uint16_t returned;
    uint16_t bufferSize;
    int swapped;
  };
  const Case cases[] = {
      {"all returned", 3, 3, 12, 3},
      {"fewer returned", 3, 2, 12, 2},
      {"none returned", 3, 0, 12, 0},
      {"more returned than asked for", 2, 3, 12, 2},
      {"more returned than the buffer holds", 3, 3, 9, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // One byte of offset: the IDs need not be aligned.
    const uint32_t ids[] = {0x11223344u, 0xAABBCCDDu, 0x01020304u, 0x55667788u};
    std::vector<uint8_t> bytes(1 + sizeof ids);
    std::memcpy(bytes.data() + 1, ids, sizeof ids);
    RecordIdListRequest request{};
    request.maxEntries = c.maxEntries;
    request.returned = c.returned;
    request.bufferSize = c.bufferSize;
    request.buffer = RegisterPointer(bytes.data() + 1);
    CBaseConverter converter;
    EXPECT_EQ(converter.SwapPositionMap(request), 0);
    ReleasePointer(request.buffer);
    for (int i = 0; i < 4; ++i) {
      uint32_t id;
      std::memcpy(&id, bytes.data() + 1 + 4 * i, sizeof id);
      EXPECT_EQ(id, i < c.swapped ? __builtin_bswap32(ids[i]) : ids[i]) << i;
    }
  }
  RecordIdListRequest noBuffer{};
  noBuffer.returned = 5;
  noBuffer.maxEntries = 5;
  noBuffer.bufferSize = 20;
  EXPECT_EQ(CBaseConverter().SwapPositionMap(noBuffer), 0);
}

}  // namespace
