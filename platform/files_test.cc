#include "platform/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/testing/test_support.h"

namespace velqor::platform {
namespace {

class LocalFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.ok());
    dir = scratch.path();
  }

  std::string P(const std::string& name) { return scratch.File(name); }
  void Put(const std::string& name, const std::string& bytes) {
    velqor::test_support::WriteFile(P(name), bytes);
  }
  std::string Get(const std::string& name) { return velqor::test_support::ReadFile(P(name)); }
  std::vector<std::string> Names() { return scratch.Names(); }

  velqor::test_support::ScratchDir scratch;
  LocalFileSystem fs;
  std::string dir;
};

TEST_F(LocalFilesTest, WriteAtomicallyCreatesAndReplacesKeepingPermissions) {
  const std::string bytes("binary\0data\xff", 12);
  ASSERT_TRUE(fs.WriteAtomically(P("a.dat"), bytes));
  EXPECT_EQ(Get("a.dat"), bytes);
  chmod(P("a.dat").c_str(), 0640);
  ASSERT_TRUE(fs.WriteAtomically(P("a.dat"), "second"));
  EXPECT_EQ(Get("a.dat"), "second");
  struct stat st;
  ASSERT_EQ(stat(P("a.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_TRUE(fs.WriteAtomically(P("a.dat"), ""));
  EXPECT_EQ(Get("a.dat"), "");
  EXPECT_EQ(Names(), std::vector<std::string>{"a.dat"});  // no temporary left
}

TEST_F(LocalFilesTest, FailedAtomicWritesLeaveTargetAndDirectoryAsTheyWere) {
  Put("old.dat", "old content");
  std::filesystem::create_directory(P("sub"));
  Put("sub/inside", "x");
  Put("plain", "a file, not a directory");
  struct Case {
    const char* what;
    std::string target;
  };
  const Case cases[] = {
      {"target is a directory", P("sub")},
      {"parent is a regular file", P("plain/new.dat")},
      {"parent does not exist", P("missing/new.dat")},
      {"empty path", ""},
      {"path ends in a separator", P("old.dat/")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(fs.WriteAtomically(c.target, "new content"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"old.dat", "plain", "sub"}));
    EXPECT_EQ(Get("sub/inside"), "x");
    EXPECT_EQ(Get("old.dat"), "old content");
  }
}

// The write itself fails half way (a file size limit stands in for a full disk): the old file
// stays whole and the temporary file is removed.
TEST_F(LocalFilesTest, WriteThatFailsHalfWayKeepsTheOldFile) {
  Put("table.dat", "the old table");
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool written = fs.WriteAtomically(P("table.dat"), std::string(8192, 'n'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  EXPECT_EQ(Get("table.dat"), "the old table");
  EXPECT_EQ(Names(), std::vector<std::string>{"table.dat"});
}

TEST_F(LocalFilesTest, UnwritableDirectoryKeepsTheOldFile) {
  Put("table.dat", "the old table");
  chmod(dir.c_str(), 0555);
  if (access(dir.c_str(), W_OK) == 0) {
    GTEST_SKIP() << "this user writes into read-only directories";
  }
  EXPECT_FALSE(fs.WriteAtomically(P("table.dat"), "new"));
  EXPECT_FALSE(fs.Copy(P("table.dat"), P("copy.dat"), true));
  chmod(dir.c_str(), 0755);
  EXPECT_EQ(Get("table.dat"), "the old table");
  EXPECT_EQ(Names(), std::vector<std::string>{"table.dat"});
}

TEST_F(LocalFilesTest, CopyRespectsTheReplaceFlag) {
  Put("src", "source");
  struct Case {
    const char* what;
    bool targetExists;
    bool replace;
    bool ok;
    const char* after;
  };
  const Case cases[] = {
      {"new target", false, false, true, "source"},
      {"new target, replace", false, true, true, "source"},
      {"existing target, replace", true, true, true, "source"},
      {"existing target kept", true, false, false, "target"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(P("dst"));
    if (c.targetExists) Put("dst", "target");
    EXPECT_EQ(fs.Copy(P("src"), P("dst"), c.replace), c.ok);
    EXPECT_EQ(Get("dst"), c.after);
    EXPECT_EQ(Get("src"), "source");
    EXPECT_EQ(Names(), (std::vector<std::string>{"dst", "src"}));
  }
  EXPECT_FALSE(fs.Copy(P("missing"), P("other"), true));
  EXPECT_FALSE(fs.Exists(P("other")));
}

TEST_F(LocalFilesTest, MoveDeleteExistsAndShortNames) {
  Put("a", "A");
  EXPECT_TRUE(fs.Exists(P("a")));
  EXPECT_TRUE(fs.Exists(dir));
  EXPECT_FALSE(fs.Exists(P("b")));
  EXPECT_FALSE(fs.Exists(""));
  EXPECT_EQ(fs.ShortPathName(P("a")), P("a"));
  EXPECT_EQ(fs.ShortPathName(dir + "/"), dir + "/");
  EXPECT_EQ(fs.ShortPathName(P("b")), "");

  ASSERT_TRUE(fs.Move(P("a"), P("b")));
  EXPECT_FALSE(fs.Exists(P("a")));
  EXPECT_EQ(Get("b"), "A");
  EXPECT_FALSE(fs.Move(P("a"), P("c")));

  EXPECT_TRUE(fs.Delete(P("b")));
  EXPECT_FALSE(fs.Delete(P("b")));
  std::filesystem::create_directory(P("d"));
  EXPECT_FALSE(fs.Delete(P("d")));  // files only
  EXPECT_TRUE(fs.Exists(P("d")));
}

TEST_F(LocalFilesTest, ReadAllReadsEveryByteOfRegularFilesOnly) {
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  Put("big", big);
  std::string out = "previous";
  ASSERT_TRUE(fs.ReadAll(P("big"), &out));
  EXPECT_EQ(out, big);
  out = "previous";
  EXPECT_FALSE(fs.ReadAll(P("missing"), &out));
  EXPECT_FALSE(fs.ReadAll(dir, &out));
  EXPECT_FALSE(fs.ReadAll(P("big"), nullptr));
  // A pipe is refused without waiting for a writer that may never come.
  ASSERT_EQ(mkfifo(P("pipe").c_str(), 0600), 0);
  bool read = true;
  EXPECT_TRUE(velqor::test_support::ReturnsWithoutAWriter(
      P("pipe"), [&] { read = fs.ReadAll(P("pipe"), &out); }));
  EXPECT_FALSE(read);
  EXPECT_EQ(out, "previous");
}

TEST_F(LocalFilesTest, FaultyFileSystemRecordsAndFailsNamedOperations) {
  Put("a", "A");
  FaultyFileSystem faulty(&fs);
  faulty.Fail("Copy");
  faulty.Fail("ShortPathName");
  EXPECT_FALSE(faulty.Copy(P("a"), P("b"), true));
  EXPECT_FALSE(fs.Exists(P("b")));  // the failed copy never reached the disk
  EXPECT_EQ(faulty.ShortPathName(P("a")), "");
  EXPECT_TRUE(faulty.Exists(P("a")));
  EXPECT_TRUE(faulty.WriteAtomically(P("c"), "C"));
  std::string bytes;
  EXPECT_TRUE(faulty.ReadAll(P("c"), &bytes));
  EXPECT_EQ(bytes, "C");
  EXPECT_TRUE(faulty.Move(P("c"), P("d")));
  EXPECT_TRUE(faulty.Delete(P("d")));
  EXPECT_EQ(faulty.calls(),
            (std::vector<std::string>{"Copy " + P("a") + " " + P("b"), "ShortPathName " + P("a"),
                                      "Exists " + P("a"), "WriteAtomically " + P("c"),
                                      "ReadAll " + P("c"), "Move " + P("c") + " " + P("d"),
                                      "Delete " + P("d")}));

  FaultyFileSystem detached(nullptr);
  EXPECT_FALSE(detached.Exists(P("a")));
  EXPECT_FALSE(detached.WriteAtomically(P("e"), "E"));
  EXPECT_FALSE(fs.Exists(P("e")));
}

TEST_F(LocalFilesTest, InstalledFileSystemIsUsedUntilReset) {
  FileSystem& local = GetFileSystem();
  EXPECT_NE(dynamic_cast<LocalFileSystem*>(&local), nullptr);
  FaultyFileSystem faulty(&fs);
  SetFileSystem(&faulty);
  EXPECT_EQ(&GetFileSystem(), &faulty);
  GetFileSystem().Exists(P("x"));
  EXPECT_EQ(faulty.calls().size(), 1u);
  SetFileSystem(nullptr);
  EXPECT_EQ(&GetFileSystem(), &local);
}

}  // namespace
}  // namespace velqor::platform
