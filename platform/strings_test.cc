#include "platform/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace velqor::platform {
namespace {

// The last entry's text has no NUL within its four bytes: a load must read no further than
// the buffer can take.
const char kUnterminated[4] = {'a', 'b', 'c', 'd'};
const StringResource kTable[] = {{3301, "Date Book"},
                                 {3311, "     Please check"},
                                 {3400, ""},
                                 {3401, nullptr},
                                 {3402, kUnterminated}};

class LoadStringTest : public ::testing::Test {
 protected:
  void SetUp() override { module = RegisterStringTable(kTable, std::size(kTable)); }
  void TearDown() override { UnregisterStringTable(module); }
  ModuleHandle module = 0;
};

TEST_F(LoadStringTest, CopiesAtMostSizeMinusOneCharactersAndANul) {
  struct Case {
    uint32_t id;
    int32_t size;
    int32_t copied;
    const char* text;  // buffer content afterwards; null: untouched
  };
  const Case cases[] = {
      {3301, 128, 9, "Date Book"},
      {3301, 10, 9, "Date Book"},
      {3301, 9, 8, "Date Boo"},
      {3301, 5, 4, "Date"},
      {3301, 1, 0, ""},
      {3311, 128, 17, "     Please check"},  // leading blanks belong to the text
      {3400, 16, 0, ""},
      {3402, 5, 4, "abcd"},
      {3402, 3, 2, "ab"},
      {3301, 0, 0, nullptr},
      {3301, -1, 0, nullptr},
      {9999, 128, 0, nullptr},
      {3401, 128, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << " size " << c.size);
    char buffer[140];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(LoadStringA(module, c.id, buffer, c.size), c.copied);
    if (c.text == nullptr) {
      EXPECT_EQ(buffer[0], '#');
    } else {
      EXPECT_STREQ(buffer, c.text);
    }
    size_t used = c.text == nullptr ? 0 : std::strlen(c.text) + 1;
    for (size_t i = used; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << "byte " << i;
  }
}

TEST_F(LoadStringTest, UnknownModuleOrNullBufferLoadsNothing) {
  char buffer[16] = "untouched";
  EXPECT_EQ(LoadStringA(0, 3301, buffer, sizeof buffer), 0);
  EXPECT_EQ(LoadStringA(module + 1000, 3301, buffer, sizeof buffer), 0);
  EXPECT_EQ(LoadStringA(module, 3301, nullptr, 16), 0);
  EXPECT_STREQ(buffer, "untouched");
}

TEST(StringTableTest, ModulesAreNonzeroDistinctAndEndWithUnregistration) {
  const StringResource other[] = {{3301, "Other"}};
  ModuleHandle a = RegisterStringTable(kTable, std::size(kTable));
  ModuleHandle b = RegisterStringTable(other, 1);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  char buffer[16];
  EXPECT_EQ(LoadStringA(b, 3301, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "Other");
  UnregisterStringTable(b);
  EXPECT_EQ(LoadStringA(b, 3301, buffer, sizeof buffer), 0);
  EXPECT_EQ(LoadStringA(a, 3301, buffer, sizeof buffer), 9);
  UnregisterStringTable(a);
  EXPECT_EQ(RegisterStringTable(nullptr, 3), 0u);
}

}  // namespace
}  // namespace velqor::platform
