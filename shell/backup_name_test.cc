#include "shell/backup_name.h"

#include <gtest/gtest.h>

namespace velqor::shell {
namespace {

struct BackupCase {
  const char* directory;
  const char* localName;
  const char* expected;
};

TEST(BackupFilePath, ReplacesTheLocalNamesExtensionInTheUsersDirectory) {
  const BackupCase cases[] = {
      // The common case: the name existing backups already carry.
      {"/home/u/Pilot/", "datebook.dat", "/home/u/Pilot/datebook.bak"},
      // Extensions of other lengths lose everything from their last dot.
      {"/home/u/", "cal.db", "/home/u/cal.bak"},
      {"/home/u/", "cal.dbase", "/home/u/cal.bak"},
      {"/home/u/", "cal.x.dat", "/home/u/cal.x.bak"},
      {"/home/u/", "cal.", "/home/u/cal.bak"},
      // No extension: ".bak" is appended, never the name's tail overwritten.
      {"/home/u/", "dbook", "/home/u/dbook.bak"},
      // A dot in the directory never shapes the name.
      {"/home/u.v/", "dbook", "/home/u.v/dbook.bak"},
      {"/home/u.v/", "a", "/home/u.v/a.bak"},
      {"/home/u.v/", "sub/dbook", "/home/u.v/sub/dbook.bak"},
      {"/data/", "", "/data/.bak"},
  };
  for (const BackupCase& c : cases) {
    EXPECT_EQ(BackupFilePath(c.directory, c.localName), c.expected)
        << c.directory << " + " << c.localName;
  }
}

}  // namespace
}  // namespace velqor::shell
