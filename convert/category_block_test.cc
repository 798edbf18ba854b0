#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert/datebook_converter.h"
#include "platform/handles.h"

namespace {

using velqor::platform::RegisterPointer;
using velqor::platform::ReleasePointer;

// The engine's 800-byte application information block buffer and the record that points to it.
class Block {
 public:
  explicit Block(uint16_t size = 800) : bytes_(size) {
    for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = static_cast<uint8_t>(i * 7 + 3);
    std::memset(bytes_.data(), 0, std::min<size_t>(size, kCatBlockSize));
    record.bufferSize = size;
    record.buffer = RegisterPointer(bytes_.data());
  }
  ~Block() { ReleasePointer(record.buffer); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  void SetMask(uint16_t mask) {
    bytes_[0] = static_cast<uint8_t>(mask >> 8);
    bytes_[1] = static_cast<uint8_t>(mask);
  }
  void SetName(int index, const std::string& name) {
    uint8_t* slot = &bytes_[kCatNamesOffset + kCatNameSize * index];
    std::memset(slot, 0, kCatNameSize);
    std::memcpy(slot, name.data(), std::min<size_t>(name.size(), kCatNameSize));
  }
  void SetId(int index, uint8_t id) { bytes_[kCatIdsOffset + index] = id; }
  uint16_t Mask() const { return static_cast<uint16_t>(bytes_[0] << 8 | bytes_[1]); }
  std::vector<uint8_t> Slot(int index) const {
    auto begin = bytes_.begin() + kCatNamesOffset + kCatNameSize * index;
    return std::vector<uint8_t>(begin, begin + kCatNameSize);
  }
  uint8_t Id(int index) const { return bytes_[kCatIdsOffset + index]; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

  CategoryBlockRecord record{};

 private:
  std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> SlotOf(const std::string& name) {
  std::vector<uint8_t> slot(kCatNameSize, 0);
  std::memcpy(slot.data(), name.data(), name.size());
  return slot;
}

TEST(RawToCategoriesTest, AddsOneCategoryPerNamedIndex) {
  Block block;
  block.SetMask(0x0005);
  block.SetName(0, "Unfiled");
  block.SetId(0, 0);
  block.SetName(2, "Business");
  block.SetId(2, 200);  // IDs are unsigned
  block.SetName(3, "Personal");
  block.SetId(3, 17);
  block.SetName(15, "ABCDEFGHIJKLMNOP");  // sixteen characters, no NUL in the slot
  block.SetId(15, 255);
  block.SetId(5, 99);  // an ID without a name is a free index

  CDateBkConverter converter;
  CCategoryMgr manager;
  ASSERT_EQ(converter.RawToCategories(block.record, manager), 0);
  ASSERT_EQ(manager.GetCount(), 4);

  struct Expect {
    int index;
    const char* name;
    int id;
    int dirty;
  };
  const Expect expected[] = {{0, "Unfiled", 0, 1},
                             {2, "Business", 200, 1},
                             {3, "Personal", 17, 0},
                             {15, "ABCDEFGHIJKLMNO", 255, 0}};
  for (const Expect& e : expected) {
    SCOPED_TRACE(e.index);
    CCategory* category = nullptr;
    ASSERT_EQ(manager.FindIndex(e.index, &category), kCatOk);
    ASSERT_NE(category, nullptr);
    EXPECT_EQ(category->GetIndex(), e.index);
    EXPECT_EQ(category->GetName(), e.name);
    EXPECT_EQ(category->GetID(), e.id);
    EXPECT_EQ(category->IsNameDirty(), e.dirty);
  }
}

TEST(RawToCategoriesTest, EmptyBlockAddsNothing) {
  Block block;
  block.SetMask(0xFFFF);
  for (int i = 0; i < kCatCount; ++i) block.SetId(i, static_cast<uint8_t>(i + 1));
  CDateBkConverter converter;
  CCategoryMgr manager;
  ASSERT_EQ(converter.RawToCategories(block.record, manager), 0);
  EXPECT_EQ(manager.GetCount(), 0);
}

TEST(RawToCategoriesTest, AnIndexTheManagerRefusesIsSkipped) {
  Block block;
  block.SetName(1, "One");
  block.SetId(1, 1);
  block.SetName(2, "Two");
  block.SetId(2, 2);
  CCategoryMgr manager;
  ASSERT_EQ(manager.Add(new CCategory(50, 1, "Taken")), kCatOk);
  CDateBkConverter converter;
  ASSERT_EQ(converter.RawToCategories(block.record, manager), 0);
  EXPECT_EQ(manager.GetCount(), 2);
  CCategory* category = nullptr;
  manager.FindIndex(1, &category);
  ASSERT_NE(category, nullptr);
  EXPECT_EQ(category->GetName(), "Taken");
  manager.FindIndex(2, &category);
  ASSERT_NE(category, nullptr);
  EXPECT_EQ(category->GetName(), "Two");
}

TEST(CategoriesToRawTest, RewritesMaskNamesAndIdsOnly) {
  Block block;
  // What the handheld had: names and IDs that the manager no longer has, and a dirty mask.
  block.SetMask(0xFFFF);
  for (int i = 0; i < kCatCount; ++i) {
    block.SetName(i, "OldName" + std::to_string(i));
    block.SetId(i, static_cast<uint8_t>(100 + i));
  }
  const std::vector<uint8_t> before = block.Bytes();

  CCategoryMgr manager;
  auto add = [&](int id, int index, const std::string& name, int dirty) {
    auto* category = new CCategory(id, index, name);
    category->SetNameDirty(dirty);
    ASSERT_EQ(manager.Add(category), kCatOk);
  };
  add(0, 0, "Unfiled", 1);
  add(130, 1, "Hi", 1);
  add(0x1FF, 4, "Twenty characters!!!", 0);  // name cut to 15, ID to its low byte
  add(9, 7, std::string("Nul\0Inside", 10), 0);

  CDateBkConverter converter;
  ASSERT_EQ(converter.CategoriesToRaw(block.record, manager), 0);

  EXPECT_EQ(block.Mask(), 0);
  struct Expect {
    int index;
    std::vector<uint8_t> slot;
    uint8_t id;
  };
  const Expect expected[] = {
      {0, SlotOf("Unfiled"), 0}, {1, SlotOf("Hi"), 130},
      {2, SlotOf(""), 0},        {4, SlotOf("Twenty characte"), 0xFF},
      {7, SlotOf("Nul"), 9},     {15, SlotOf(""), 0},
  };
  for (const Expect& e : expected) {
    SCOPED_TRACE(e.index);
    EXPECT_EQ(block.Slot(e.index), e.slot);
    EXPECT_EQ(block.Id(e.index), e.id);
  }
  // The rest of the application information block goes back unchanged.
  EXPECT_TRUE(std::equal(before.begin() + kCatBlockSize, before.end(),
                         block.Bytes().begin() + kCatBlockSize));
}

TEST(CategoriesToRawTest, RoundTripThroughTheManager) {
  Block block;
  block.SetMask(0x8001);
  block.SetName(0, "Unfiled");
  block.SetName(1, "Business");
  block.SetId(1, 1);
  block.SetName(15, "Fifteen chars!!");
  block.SetId(15, 128);
  const std::vector<uint8_t> original = block.Bytes();

  CDateBkConverter converter;
  CCategoryMgr manager;
  ASSERT_EQ(converter.RawToCategories(block.record, manager), 0);
  Block copy;
  ASSERT_EQ(converter.CategoriesToRaw(copy.record, manager), 0);
  // Everything but the mask, which writing always clears.
  EXPECT_EQ(copy.Mask(), 0);
  EXPECT_TRUE(
      std::equal(original.begin() + 2, original.begin() + kCatBlockSize, copy.Bytes().begin() + 2));
}

TEST(CategoryBlockTest, WithoutABlockNothingIsReadOrWritten) {
  CDateBkConverter converter;
  struct Case {
    const char* name;
    bool registered;
    uint16_t size;
  };
  const Case cases[] = {
      {"no buffer", false, 800},
      {"buffer shorter than the block", true, kCatBlockSize - 1},
      {"empty buffer", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // An exactly sized buffer, so that the sanitizers see any access beyond it.
    std::vector<uint8_t> bytes(c.size, 0x41);
    CategoryBlockRecord record{};
    record.bufferSize = c.size;
    record.buffer = c.registered ? RegisterPointer(bytes.data()) : 0;
    CCategoryMgr manager;
    manager.Add(new CCategory(3, 3, "Kept"));
    EXPECT_EQ(converter.RawToCategories(record, manager), kConvNoBlockRead);
    EXPECT_EQ(manager.GetCount(), 1);
    EXPECT_EQ(converter.CategoriesToRaw(record, manager), kConvNoBlockWrite);
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0x41; }));
    if (c.registered) ReleasePointer(record.buffer);
  }
}

}  // namespace
