#include "tools/profile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/crash_points.h"
#include "platform/files.h"
#include "platform/handles.h"
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

// The conduit's side of the handheld: one open Date Book and the changes a run makes.
class Conduit {
 public:
  explicit Conduit(platform::HandheldLink& link) : link_(link) {
    EXPECT_EQ(link_.OpenDatabase("DatebookDB", 0, &handle_, kOpenModeReadWrite), 0);
  }
  int32_t Write(uint32_t id, std::vector<uint8_t> data, uint32_t* newId = nullptr) {
    RawRecord raw{};
    raw.dbHandle = handle_;
    raw.recordId = id;
    raw.attributes = kAttrDirty;
    raw.size = static_cast<uint32_t>(data.size());
    raw.capacity = static_cast<uint16_t>(data.size());
    raw.buffer = platform::RegisterPointer(data.data());
    const int32_t status = link_.WriteRecord(&raw);
    platform::ReleasePointer(raw.buffer);
    if (newId) *newId = raw.recordId;
    return status;
  }
  int32_t Delete(uint32_t id) {
    RawRecord raw{};
    raw.dbHandle = handle_;
    raw.recordId = id;
    return link_.DeleteRecord(&raw);
  }
  uint8_t handle() const { return handle_; }

 private:
  platform::HandheldLink& link_;
  uint8_t handle_ = 0;
};

std::vector<std::vector<uint8_t>> Contents(const platform::HandheldDatabase* db) {
  std::vector<std::vector<uint8_t>> out;
  if (db == nullptr) return out;
  for (const auto& r : db->records) {
    std::vector<uint8_t> row = r.data;
    row.push_back(r.attributes);
    out.push_back(row);
  }
  return out;
}

// A run killed after its calls answered but before it wrote the file back: the next start
// replays every change, folds it into the file and drops the journal.
TEST_F(HandheldStoreTest, ChangesAnsweredBeforeAKillAreInTheFileAfterTheNextStart) {
  Write("DatebookDB.pdb", "DatebookDB", 5);
  const std::string before = Read("DatebookDB.pdb");
  std::vector<std::vector<uint8_t>> expected;
  std::string error;
  {
    HandheldStore store;
    ASSERT_TRUE(store.Load(dir_, &error)) << error;
    Conduit conduit(store.link());
    uint32_t a = 0, b = 0, c = 0;
    ASSERT_EQ(conduit.Write(0, {1, 1}, &a), 0);
    ASSERT_EQ(conduit.Write(0, {2, 2}, &b), 0);
    ASSERT_EQ(conduit.Write(0, {3, 3}, &c), 0);
    ASSERT_EQ(conduit.Write(a, {1, 9}), 0);
    ASSERT_EQ(conduit.Delete(b), 0);
    ASSERT_EQ(store.link().ResetSyncFlags(conduit.handle()), 0);
    ASSERT_EQ(store.link().ChangeCategory(conduit.handle(), 0, 3), 0);
    expected = Contents(store.Find("DatebookDB"));
    EXPECT_TRUE(fs::exists(dir_ + "/DatebookDB.pdb.journal"));
  }  // no Save: as a kill leaves it
  EXPECT_EQ(Read("DatebookDB.pdb"), before);

  HandheldStore reader;  // a reader sees the changes and writes nothing
  ASSERT_TRUE(reader.Load(dir_, &error)) << error;
  EXPECT_EQ(Contents(reader.Find("DatebookDB")), expected);
  EXPECT_EQ(reader.Find("DatebookDB")->records[0].category, 3);
  EXPECT_EQ(Read("DatebookDB.pdb"), before);

  HandheldStore owner;
  ASSERT_TRUE(owner.Load(dir_, &error)) << error;
  ASSERT_TRUE(owner.Recover(1700000000, &error)) << error;
  EXPECT_FALSE(fs::exists(dir_ + "/DatebookDB.pdb.journal"));
  HandheldStore after;
  ASSERT_TRUE(after.Load(dir_, &error)) << error;
  EXPECT_EQ(Contents(after.Find("DatebookDB")), expected);
  EXPECT_GT(after.Find("DatebookDB")->modificationNumber, 5u);
}

// A kill can cut the last entry, or come after the file was written but before the journal
// was removed; neither may change what the file holds.
TEST_F(HandheldStoreTest, TornAndStaleJournalsAreLeftOut) {
  Write("DatebookDB.pdb", "DatebookDB", 5);
  std::string error;
  {
    HandheldStore store;
    ASSERT_TRUE(store.Load(dir_, &error)) << error;
    Conduit conduit(store.link());
    ASSERT_EQ(conduit.Write(0, {1}), 0);
    ASSERT_EQ(conduit.Write(0, {2}), 0);
  }
  const std::string journal = Read("DatebookDB.pdb.journal");
  platform::GetFileSystem().WriteAtomically(dir_ + "/DatebookDB.pdb.journal",
                                            journal.substr(0, journal.size() - 3));
  HandheldStore torn;
  ASSERT_TRUE(torn.Load(dir_, &error)) << error;
  ASSERT_EQ(Contents(torn.Find("DatebookDB")).size(), 1u);
  EXPECT_EQ(torn.Find("DatebookDB")->records[0].data, std::vector<uint8_t>{1});
  ASSERT_TRUE(torn.Recover(1700000000, &error)) << error;

  // The journal put back beside the file that already holds its changes: stale.
  platform::GetFileSystem().WriteAtomically(dir_ + "/DatebookDB.pdb.journal", journal);
  HandheldStore stale;
  ASSERT_TRUE(stale.Load(dir_, &error)) << error;
  EXPECT_EQ(Contents(stale.Find("DatebookDB")).size(), 1u);
  ASSERT_TRUE(stale.Recover(1700000000, &error)) << error;
  EXPECT_FALSE(fs::exists(dir_ + "/DatebookDB.pdb.journal"));
}

// A change that cannot be made durable is not made: the call fails as a lost connection, the
// database keeps what it had, and so do later calls.
TEST_F(HandheldStoreTest, AChangeThatCannotBeJournaledIsUndone) {
  Write("DatebookDB.pdb", "DatebookDB", 5);
  std::string error;
  HandheldStore store;
  ASSERT_TRUE(store.Load(dir_, &error)) << error;
  Conduit conduit(store.link());
  uint32_t kept = 0;
  ASSERT_EQ(conduit.Write(0, {1}, &kept), 0);
  const auto before = Contents(store.Find("DatebookDB"));
  const uint32_t seed = store.Find("DatebookDB")->uniqueIdSeed;
  platform::FailWritesFromPoint(platform::PointsReached() + 1);
  uint32_t id = 77;
  EXPECT_EQ(conduit.Write(0, {2}, &id), kJournalLost);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(conduit.Write(kept, {9}), kJournalLost);
  EXPECT_EQ(conduit.Delete(kept), kJournalLost);
  EXPECT_EQ(store.link().PurgeDeleted(conduit.handle()), kJournalLost);
  platform::FailWritesFromPoint(0);
  EXPECT_EQ(Contents(store.Find("DatebookDB")), before);
  EXPECT_EQ(store.Find("DatebookDB")->uniqueIdSeed, seed);
  EXPECT_NE(store.JournalFailure().find("DatebookDB.pdb.journal: cannot be written"),
            std::string::npos)
      << store.JournalFailure();
  // The journal took nothing after its failure, even once writes work again.
  EXPECT_EQ(conduit.Write(0, {3}), kJournalLost);
}

// A file that holds another database (a damaged name, another application's database saved
// under the Date Book's file name) is never overwritten by a new Date Book.
TEST_F(HandheldStoreTest, ANewDatabaseGoesBesideAFileThatHoldsAnother) {
  Write("DatebookDB.pdb", "DatebookDX", 5);
  const std::string other = Read("DatebookDB.pdb");
  std::string error;
  HandheldStore store;
  ASSERT_TRUE(store.Load(dir_, &error)) << error;
  DatabaseCreateInfo info{};
  std::snprintf(info.name, sizeof info.name, "DatebookDB");
  info.creator = FourCC("date");
  info.creationValue = FourCC("DATA");
  ASSERT_EQ(store.link().CreateDatabase(&info), 0);
  EXPECT_EQ(store.PathOf("DatebookDB"), dir_ + "/DatebookDB-2.pdb");
  std::vector<std::string> written;
  ASSERT_TRUE(store.Save(1700000000, &written, &error)) << error;
  EXPECT_EQ(written, std::vector<std::string>{dir_ + "/DatebookDB-2.pdb"});
  EXPECT_EQ(Read("DatebookDB.pdb"), other);
  HandheldStore again;
  ASSERT_TRUE(again.Load(dir_, &error)) << error;
  EXPECT_NE(again.Find("DatebookDB"), nullptr);
  EXPECT_NE(again.Find("DatebookDX"), nullptr);
}

pid_t DeadProcess() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

TEST(ProfileLockTest, OneHolderAtATimeAndNeverLongerThanItsProcess) {
  velqor::test_support::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const ProfilePaths p = PathsOf(dir.path());
  std::string error;
  {
    ProfileLock first;
    ASSERT_TRUE(first.Acquire(p, "hotsync sync", 1700000000, &error)) << error;
    ProfileLock second;
    EXPECT_FALSE(second.Acquire(p, "hotsync handheld add", 1700000000, &error));
    EXPECT_NE(error.find("in use by another hotsync command (hotsync sync, process " +
                         std::to_string(getpid())),
              std::string::npos)
        << error;
  }
  ProfileLock afterRelease;
  EXPECT_TRUE(afterRelease.Acquire(p, "hotsync sync", 1700000000, &error)) << error;
}

TEST(ProfileLockTest, AKilledHolderLeavesNoLock) {
  velqor::test_support::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const ProfilePaths p = PathsOf(dir.path());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    ProfileLock lock;
    std::string why;
    const char ok = lock.Acquire(p, "hotsync sync", 1700000000, &why) ? 1 : 0;
    [[maybe_unused]] ssize_t n = write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  std::string error;
  ProfileLock blocked;
  EXPECT_FALSE(blocked.Acquire(p, "hotsync sync", 1700000000, &error));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ProfileLock after;
  EXPECT_TRUE(after.Acquire(p, "hotsync sync", 1700000000, &error)) << error;
  close(ready[0]);
  close(ready[1]);
}

TEST(LeftoversTest, OnlyOurTemporaryFilesOfEndedProcessesAreRemoved) {
  velqor::test_support::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const ProfilePaths p = PathsOf(dir.path());
  fs::create_directory(p.handheld);
  fs::create_directory(p.user);
  const std::string dead = std::to_string(DeadProcess());
  const std::string live = std::to_string(getppid());
  velqor::test_support::WriteFile(p.user + "/notes.txt", "mine");
  struct Case {
    std::string path;
    bool removed;
  };
  const std::vector<Case> cases = {
      {p.handheld + "/.DatebookDB.pdb.tmp" + dead + ".0", true},
      {p.user + "/datebook.dat.tmp" + dead + "-1", true},
      {p.user + "/datebook.bak.tmp" + dead + "-0", true},
      {p.user + "/.host-calendar.txt.tmp" + dead + ".3", true},
      {p.user + "/Business.DBA.tmp" + dead + "-2", true},
      {p.user + "/.notes.txt.tmp" + dead + ".0", true},     // beside a file of the folder
      {p.user + "/report.odt.tmp" + dead + "-1", false},    // no such file of ours
      {p.user + "/datebook.dat.tmp" + live + "-1", false},  // its writer still runs
      {p.handheld + "/.memo.txt.tmp" + dead + ".0", false},
      {p.handheld + "/DatebookDB.pdb.journal", false},
      {p.user + "/datebook.dat.tmpX-1", false},
  };
  for (const Case& c : cases) velqor::test_support::WriteFile(c.path, "x");
  RemoveLeftovers(p);
  for (const Case& c : cases) EXPECT_EQ(!fs::exists(c.path), c.removed) << c.path;
  EXPECT_TRUE(fs::exists(p.user + "/notes.txt"));
}

}  // namespace
}  // namespace velqor::tools
