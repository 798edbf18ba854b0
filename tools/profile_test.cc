#include "tools/profile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/testing/test_support.h"
#include "tools/datebook_db.h"

namespace velqor::tools {
namespace {

namespace fs = std::filesystem;

class HandheldStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    dir_ = scratch_.path();
  }

  void Write(const std::string& file, const std::string& dbName, uint32_t modNumber) {
    PdbFile f;
    f.db.name = dbName;
    f.db.creator = FourCC("date");
    f.db.type = FourCC("DATA");
    f.db.creationTime = 3786912000u;
    f.db.modificationNumber = modNumber;
    f.db.hasAppInfo = true;
    f.db.appInfo = NewDatebookAppInfo();
    std::string error;
    ASSERT_TRUE(WritePdbFile(dir_ + "/" + file, f, &error)) << error;
  }
  std::string Read(const std::string& file) {
    std::string bytes;
    platform::GetFileSystem().ReadAll(dir_ + "/" + file, &bytes);
    return bytes;
  }

  velqor::test_support::ScratchDir scratch_;
  std::string dir_;
};

TEST_F(HandheldStoreTest, OnlyChangedDatabasesAreWrittenBack) {
  Write("DatebookDB.pdb", "DatebookDB", 5);
  Write("memo.pdb", "MemoDB", 9);
  const std::string memoBefore = Read("memo.pdb");
  HandheldStore store;
  std::string error;
  ASSERT_TRUE(store.Load(dir_, &error)) << error;
  ASSERT_NE(store.Find("MemoDB"), nullptr);

  std::vector<std::string> written;
  ASSERT_TRUE(store.Save(1700000000, &written, &error));
  EXPECT_TRUE(written.empty());

  // A change made directly (as the stand-in's handheld commands do) raises the number once.
  platform::HandheldDatabase* db = store.Find("DatebookDB");
  db->records.push_back({db->NextUniqueId(), kAttrDirty, 0, {1, 2, 3}});
  ASSERT_TRUE(store.Save(1700000000, &written, &error)) << error;
  ASSERT_EQ(written, std::vector<std::string>{dir_ + "/DatebookDB.pdb"});
  EXPECT_EQ(Read("memo.pdb"), memoBefore);
  PdbFile back;
  ASSERT_TRUE(ReadPdbFile(dir_ + "/DatebookDB.pdb", &back, &error));
  EXPECT_EQ(back.db.modificationNumber, 6u);
  EXPECT_EQ(back.db.modificationTime, UnixToPdbTime(1700000000));
  EXPECT_EQ(back.db.records.size(), 1u);

  // A new database gets a file named after it.
  platform::HandheldDatabase fresh;
  fresh.name = "To/Do";
  store.handheld().AddDatabase(fresh);
  written.clear();
  ASSERT_TRUE(store.Save(1700000000, &written, &error)) << error;
  ASSERT_EQ(written, std::vector<std::string>{dir_ + "/To_Do.pdb"});
}

TEST_F(HandheldStoreTest, DamagedOrDuplicateFilesAreNamed) {
  Write("a.pdb", "DatebookDB", 1);
  Write("b.pdb", "DatebookDB", 1);
  HandheldStore twice;
  std::string error;
  EXPECT_FALSE(twice.Load(dir_, &error));
  EXPECT_NE(error.find("b.pdb: holds the database 'DatebookDB'"), std::string::npos) << error;

  fs::remove(dir_ + "/b.pdb");
  platform::GetFileSystem().WriteAtomically(dir_ + "/c.pdb", "short");
  HandheldStore damaged;
  EXPECT_FALSE(damaged.Load(dir_, &error));
  EXPECT_NE(error.find("c.pdb: damaged database file: too short"), std::string::npos) << error;
}

TEST(ProfileTest, AProfileNeedsItsFolderSettingsHandheldAndUserFolder) {
  velqor::test_support::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const ProfilePaths p = PathsOf(dir.path() + "/./p/");
  EXPECT_EQ(p.root, dir.File("p"));
  std::string error;
  EXPECT_FALSE(CheckProfile(p, &error));
  EXPECT_NE(error.find("no such profile"), std::string::npos);
  fs::create_directory(p.root);
  EXPECT_FALSE(CheckProfile(p, &error));
  EXPECT_NE(error.find("settings file is missing"), std::string::npos);
  platform::GetFileSystem().WriteAtomically(p.settings, "");
  fs::create_directory(p.handheld);
  EXPECT_FALSE(CheckProfile(p, &error));
  EXPECT_NE(error.find("user folder is missing"), std::string::npos);
  fs::create_directory(p.user);
  EXPECT_TRUE(CheckProfile(p, &error));
}

}  // namespace
}  // namespace velqor::tools
