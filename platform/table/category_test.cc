#include "platform/table/category.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace category_test {
namespace {

std::vector<int> Indexes(CCategoryMgr& mgr) {
  std::vector<int> out;
  for (CCategory* c = mgr.FindFirst(); c != nullptr; c = mgr.FindNext())
    out.push_back(c->GetIndex());
  return out;
}

void AddAll(CCategoryMgr& mgr, const std::vector<int>& indexes) {
  for (int index : indexes) {
    ASSERT_EQ(mgr.Add(new CCategory(100 + index, index, "Cat" + std::to_string(index))), kCatOk);
  }
}

TEST(CategoryMgrTest, KeepsCategoriesInIndexOrder) {
  CCategoryMgr mgr;
  AddAll(mgr, {5, 1, 15, 0, 9});
  EXPECT_EQ(Indexes(mgr), (std::vector<int>{0, 1, 5, 9, 15}));
  EXPECT_EQ(mgr.GetCount(), 5);
  EXPECT_EQ(mgr.FindNext(), nullptr);  // stays at the end
}

TEST(CategoryMgrTest, AddRefusesBadAndTakenIndexesAndLeavesTheCategoryToTheCaller) {
  CCategoryMgr mgr;
  AddAll(mgr, {3});
  struct Case {
    int index;
    long result;
  };
  const Case cases[] = {
      {-1, kCatBadIndex}, {16, kCatBadIndex}, {1000, kCatBadIndex}, {3, kCatIndexTaken}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    CCategory refused(7, c.index, "Refused");  // on the stack: a taken category would be freed
    EXPECT_EQ(mgr.Add(&refused), c.result);
  }
  EXPECT_EQ(mgr.Add(nullptr), kCatNullCategory);
  EXPECT_EQ(Indexes(mgr), std::vector<int>{3});
  EXPECT_EQ(mgr.FindName("Refused"), nullptr);
}

TEST(CategoryMgrTest, FindersAnswerByIdIndexAndExactName) {
  CCategoryMgr mgr;
  ASSERT_EQ(mgr.Add(new CCategory(17, 2, "Business")), kCatOk);
  ASSERT_EQ(mgr.Add(new CCategory(200, 4, "Personal")), kCatOk);
  CCategory* found = reinterpret_cast<CCategory*>(0x1);
  EXPECT_EQ(mgr.FindID(200, &found), kCatOk);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->GetName(), "Personal");
  EXPECT_EQ(mgr.FindID(4, &found), kCatNotFound);  // an index is not an ID
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(mgr.FindID(4, nullptr), 4);
  EXPECT_EQ(mgr.FindIndex(2, &found), kCatOk);
  EXPECT_EQ(found->GetID(), 17);
  EXPECT_EQ(mgr.FindIndex(17, &found), kCatNotFound);
  EXPECT_EQ(found, nullptr);
  EXPECT_NE(mgr.FindName("Business"), nullptr);
  EXPECT_EQ(mgr.FindName("business"), nullptr);
  EXPECT_EQ(mgr.FindName("Busines"), nullptr);
  EXPECT_EQ(mgr.FindName("Business "), nullptr);
  EXPECT_EQ(mgr.FindName(""), nullptr);
}

TEST(CategoryMgrTest, DeleteRemovesByIndexWithoutDisturbingAWalk) {
  CCategoryMgr mgr;
  AddAll(mgr, {1, 2, 3, 4});
  EXPECT_EQ(mgr.Delete(7), kCatNotFound);
  // Deleting the category a walk stands on: the walk goes on with the next one.
  std::vector<int> seen;
  for (CCategory* c = mgr.FindFirst(); c != nullptr; c = mgr.FindNext()) {
    seen.push_back(c->GetIndex());
    if (c->GetIndex() == 2 || c->GetIndex() == 3) {
      EXPECT_EQ(mgr.Delete(c->GetIndex()), kCatOk);
    }
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(Indexes(mgr), (std::vector<int>{1, 4}));
  // Adding before the walk's position neither repeats nor skips a category.
  seen.clear();
  for (CCategory* c = mgr.FindFirst(); c != nullptr; c = mgr.FindNext()) {
    seen.push_back(c->GetIndex());
    if (c->GetIndex() == 4) {
      EXPECT_EQ(mgr.Add(new CCategory(1, 0, "Zero")), kCatOk);
    }
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 4}));
  EXPECT_EQ(mgr.Delete(4), kCatOk);
  EXPECT_EQ(mgr.Delete(4), kCatNotFound);
  EXPECT_EQ(Indexes(mgr), (std::vector<int>{0, 1}));
}

TEST(CategoryMgrTest, GetFreeIndexGivesTheLowestFreeIndexAboveUnfiled) {
  struct Case {
    const char* name;
    std::vector<int> taken;
    int free;
  };
  std::vector<int> all, allButSeven, oneToFifteen;
  for (int i = 0; i <= 15; ++i) {
    all.push_back(i);
    if (i != 7) allButSeven.push_back(i);
    if (i != 0) oneToFifteen.push_back(i);
  }
  const Case cases[] = {
      {"empty", {}, 1},
      {"only Unfiled", {0}, 1},
      {"gap", {0, 1, 2, 4}, 3},
      {"all but seven", allButSeven, 7},
      {"full", all, -1},
      {"full but Unfiled", oneToFifteen, -1},  // index 0 is never handed out
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CCategoryMgr mgr;
    AddAll(mgr, c.taken);
    EXPECT_EQ(mgr.GetFreeIndex(), c.free);
  }
}

TEST(CategoryMgrTest, DeleteAllEmptiesAndCopyIsDeep) {
  CCategoryMgr mgr;
  AddAll(mgr, {0, 3, 8});
  mgr.FindFirst();
  CCategoryMgr copy;
  AddAll(copy, {5});
  copy.CopyFrom(mgr);
  EXPECT_EQ(Indexes(copy), (std::vector<int>{0, 3, 8}));
  copy.FindName("Cat3")->SetName("Renamed");
  EXPECT_NE(mgr.FindName("Cat3"), nullptr);
  copy.CopyFrom(copy);
  EXPECT_EQ(copy.GetCount(), 3);

  mgr.DeleteAllCategories(1);
  EXPECT_EQ(mgr.GetCount(), 0);
  EXPECT_EQ(mgr.FindFirst(), nullptr);
  EXPECT_EQ(mgr.FindNext(), nullptr);
  EXPECT_EQ(mgr.GetFreeIndex(), 1);
  EXPECT_EQ(copy.GetCount(), 3);
}

TEST(CategoryTest, FileNamesAreMadeOfPlainCharactersOnly) {
  struct Case {
    std::string name;
    std::string explicitName;
    std::string fileName;
  };
  const Case cases[] = {
      {"Business", "", "Business"},
      {"Quick-List_2", "", "Quick-List_2"},
      {"My Stuff", "", "My_Stuff"},
      {"", "", "Unfiled"},
      {"../../etc/passwd", "", "______etc_passwd"},
      {"a\\b:c*d", "", "a_b_c_d"},
      {"Caf\xC3\xA9", "", "Caf__"},
      {"Business", "Arch-1", "Arch-1"},
      {"Business", "../evil", "___evil"},
      {"", "Old", "Old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " / " + c.explicitName);
    CCategory category(1, 1, c.name);
    if (!c.explicitName.empty()) category.SetFileName(c.explicitName);
    EXPECT_EQ(category.GetFileName(), c.fileName);
  }
}

TEST(CategoryTest, AccessorsKeepWhatTheyAreGiven) {
  CCategory c;
  EXPECT_EQ(c.GetID(), 0);
  EXPECT_EQ(c.GetIndex(), 0);
  EXPECT_EQ(c.IsNameDirty(), 0);
  c.SetID(250);
  c.SetIndex(12);
  c.SetName("Travel");
  c.SetNameDirty(5);
  EXPECT_EQ(c.GetID(), 250);
  EXPECT_EQ(c.GetIndex(), 12);
  EXPECT_EQ(c.GetName(), "Travel");
  EXPECT_EQ(c.IsNameDirty(), 1);
  c.SetNameDirty(0);
  EXPECT_EQ(c.IsNameDirty(), 0);
}

}  // namespace
}  // namespace category_test
