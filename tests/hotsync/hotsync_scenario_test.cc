// Runs the built hotsync and filehost programs as a user would: profiles, settings, handheld
// edits, database files written by an independent implementation of their format, exchange
// dumps, host driver steps and synchronizations.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kZone = "Europe/Berlin";
constexpr const char* kNow = "2024-03-05 07:00";

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

using velqor::test_support::ReadFile;
using velqor::test_support::WriteFile;

// Starts a program directly with an argument vector and an environment of its own.
Result Spawn(const std::vector<std::string>& argv, const std::string& dir) {
  static int serial = 0;
  const std::string outPath = dir + "/.out" + std::to_string(++serial);
  const std::string errPath = outPath + ".err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", std::string("TZ=") + kZone};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* v = getenv(name)) env.push_back(std::string(name) + "=" + v);
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = 0;
  Result r;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  r.out = ReadFile(outPath);
  r.err = ReadFile(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  return r;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

// Every file under a folder with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) files[e.path().string()] = ReadFile(e.path().string());
  }
  return files;
}

class HotSyncScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    dir_ = scratch_.path();
    profile_ = dir_ + "/profile";
  }

  Result Hotsync(std::vector<std::string> args) {
    args.insert(args.begin(), HOTSYNC_PROGRAM);
    return Spawn(args, dir_);
  }
  Result Perl(const std::string& command, const std::string& file) {
    return Spawn({"/usr/bin/perl", DATEBOOK_TOOL, command, file}, dir_);
  }
  bool HavePerlFormat() {
    return Spawn({"/usr/bin/perl", "-MPalm::Datebook", "-e", "1"}, dir_).status == 0;
  }

  // A profile of 7 days whose host driver works on a calendar in the user folder, in the tests'
  // zone and at the tests' time.
  void MakeProfile() {
    Result r = Hotsync(
        {"init", profile_, "--user", "Ann Example", "--days", "7", "--driver", FILEHOST_PROGRAM});
    ASSERT_EQ(r.status, 0) << r.err;
    WriteFile(User("filehost.conf"), std::string("timezone ") + kZone + "\nnow " + kNow + "\n");
  }
  std::string User(const std::string& name) const { return profile_ + "/user/" + name; }
  std::string Datebook() const { return profile_ + "/handheld/DatebookDB.pdb"; }
  std::string Calendar() const { return User("host-calendar.txt"); }

  // The host calendar holds one event, "Host only" at noon on 6 March.
  void HostCalendarWithOneEvent() {
    WriteFile(Calendar(),
              "next-number 5\nevent 3\ndate 2024-03-06\nstart 12:00\nend 13:00\n"
              "description Host only\nend\n");
  }
  // That, and the handheld one of its own, "Handheld only" at 09:00 on 5 March.
  void OneEventOnEachSide() {
    ASSERT_EQ(Hotsync({"handheld", profile_, "add", "--date", "2024-03-05", "--start", "09:00",
                       "--end", "09:30", "--desc", "Handheld only"})
                  .status,
              0);
    HostCalendarWithOneEvent();
  }

  Result Sync(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"sync", profile_, "--now", kNow};
    args.insert(args.end(), more.begin(), more.end());
    return Hotsync(args);
  }

  velqor::test_support::ScratchDir scratch_;
  std::string dir_;
  std::string profile_;
};

// A scenario that needs a real synchronization fails when the conduit made none.
#define REQUIRE_SYNCHRONIZING(result) \
  ASSERT_FALSE(Contains((result).out, "the conduit did not synchronize")) << (result).out

TEST_F(HotSyncScenario, InitMakesAProfileThatOtherToolsRead) {
  MakeProfile();
  Result r = Hotsync({"settings", profile_});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line :
       {"HotSync user: Ann Example", "UserMode     (dword) 0", "FlushBackup  (dword) 0",
        "UserID       (sz)    \"\"", "HLLPath      (sz)    \"/usr/bin\"", "NumDays      (dword) 7",
        "Install      (sz)    \"\""}) {
    EXPECT_TRUE(Contains(r.out, line)) << line << "\n" << r.out;
  }
  EXPECT_TRUE(Contains(r.out, std::string("DriverPath   (sz)    \"") + FILEHOST_PROGRAM + "\""));
  EXPECT_TRUE(fs::is_directory(profile_ + "/user"));

  if (HavePerlFormat()) {
    Result dump = Perl("dump", Datebook());
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_TRUE(Contains(dump.out, "db name=DatebookDB type=DATA creator=date records=0"));
    EXPECT_TRUE(Contains(dump.out, "category 0 id=0 name=Unfiled"));
    EXPECT_EQ(CountOf(dump.out, "category "), 1u);
  }

  // With the reference driver, the driver learns the zone the profile was made in.
  Result other = Hotsync({"init", dir_ + "/p2", "--user", "Cy"});
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(ReadFile(dir_ + "/p2/user/filehost.conf"), std::string("timezone ") + kZone + "\n");

  // A second init over it changes nothing.
  const auto before = Snapshot(profile_);
  r = Hotsync({"init", profile_, "--user", "Bob"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "already exists")) << r.err;
  EXPECT_EQ(Snapshot(profile_), before);
}

TEST_F(HotSyncScenario, AWrongArgumentGetsOneLineNamingItAndStatus64) {
  MakeProfile();
  const auto before = Snapshot(profile_);
  struct Case {
    std::vector<std::string> args;
    const char* names;
  };
  const std::string p = profile_;
  const Case cases[] = {
      {{"frobnicate"}, "frobnicate"},
      {{"init", dir_ + "/other"}, "--user"},
      {{"init", dir_ + "/other", "--user", "X", "--days", "many"}, "--days"},
      {{"init", dir_ + "/other", "--user", "X", "--hll-path", std::string(60, 'h')}, "--hll-path"},
      {{"sync", p, "--type", "sideways"}, "--type"},
      {{"sync", p, "--now", "2024-03-05"}, "--now"},
      {{"sync", p, "--inject", "HhWriteRecord"}, "--inject"},
      {{"sync", p, "--inject", "NoSuchCall@1=5"}, "--inject"},
      {{"sync", p, "--first-sync", "x"}, "--first-sync"},
      {{"sync", p, "--colour"}, "--colour"},
      {{"settings", p, "set", "NumDays", "ten"}, "VALUE"},
      {{"settings", p, "unset", "NoSuchValue"}, "NoSuchValue"},
      {{"configure", p, "--choose", "7"}, "--choose"},
      {{"handheld", p, "add", "--desc", "x"}, "--date"},
      {{"handheld", p, "add", "--date", "2024-02-30"}, "--date"},
      {{"handheld", p, "add", "--date", "2024-03-05", "--start", "10:00", "--end", "09:00"},
       "--end"},
      {{"handheld", p, "add", "--date", "2024-03-05", "--alarm", "500"}, "--alarm"},
      {{"handheld", p, "add", "--date", "2024-03-05", "--category", "Nowhere"}, "--category"},
      {{"handheld", p, "edit", "77"}, "ID"},
      {{"handheld", p, "delete", "0x"}, "ID"},
      {{"handheld", p, "list", "--archive"}, "--archive"},
      {{"exchange", "show", "x"}, "show"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.names);
    Result r = Hotsync(c.args);
    EXPECT_EQ(r.status, 64) << r.out << r.err;
    EXPECT_EQ(CountOf(r.err, "\n"), 1u) << r.err;
    EXPECT_TRUE(Contains(r.err, c.names)) << r.err;
  }
  EXPECT_EQ(Snapshot(profile_), before);
  EXPECT_FALSE(fs::exists(dir_ + "/other"));
  for (const char* command : {"init", "settings", "sync", "configure", "handheld", "exchange"}) {
    Result r = Hotsync({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_TRUE(Contains(r.out, std::string("usage: hotsync ") + command)) << r.out;
  }
}

TEST_F(HotSyncScenario, InitRefusesABlankInAnyPathTheHostDriverIsGiven) {
  struct Case {
    std::vector<std::string> more;
    const char* names;
  };
  const std::string spaced = dir_ + "/with blank";
  const Case cases[] = {
      {{spaced + "/profile"}, "PROFILE"},
      {{dir_ + "/tab\tbed"}, "PROFILE"},
      {{dir_ + "/p", "--driver", "/opt/host driver/drv"}, "--driver"},
      {{dir_ + "/p", "--driver", std::string(FILEHOST_PROGRAM) + "\t"}, "--driver"},
      {{dir_ + "/p", "--hll-path", "/opt/host lib"}, "--hll-path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.more[0] + " " + c.names);
    std::vector<std::string> args = {"init"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    args.insert(args.end(), {"--user", "Ann Example"});
    Result r = Hotsync(args);
    EXPECT_EQ(r.status, 64) << r.out << r.err;
    EXPECT_EQ(CountOf(r.err, "\n"), 1u) << r.err;
    EXPECT_TRUE(Contains(r.err, c.names)) << r.err;
    EXPECT_TRUE(Contains(r.err, "blank")) << r.err;
    EXPECT_EQ(r.out, "");
    // Nothing was made: no profile, no folder above it, no staging folder beside it.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().string());
    EXPECT_TRUE(left.empty()) << left.front();
  }
  // The same values without the blank make a profile.
  Result ok = Hotsync({"init", dir_ + "/p", "--user", "Ann Example", "--driver", FILEHOST_PROGRAM,
                       "--hll-path", "/opt/host_lib"});
  EXPECT_EQ(ok.status, 0) << ok.err;
}

TEST_F(HotSyncScenario, SettingsChangeWhatTheConduitReads) {
  MakeProfile();
  Result r = Hotsync({"settings", profile_, "set", "NumDays", "14"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Hotsync({"settings", profile_, "set", "UserID", "ann", "--sz"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Hotsync({"settings", profile_, "unset", "Install"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Hotsync({"settings", profile_});
  EXPECT_TRUE(Contains(r.out, "NumDays      (dword) 14"));
  EXPECT_TRUE(Contains(r.out, "UserID       (sz)    \"ann\""));
  EXPECT_FALSE(Contains(r.out, "Install"));

  // Without Install the conduit refuses to run: the log says why, and the run failed.
  const std::string handheldBefore = ReadFile(Datebook());
  const std::string json = dir_ + "/log.json";
  r = Sync({"--log-json", json});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Unable to read Install path in registry. Date Book")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Datebook Synchronization Failed"));
  EXPECT_EQ(ReadFile(json),
            "{\"code\": 22, \"text\": \"Unable to read Install path in registry. Date Book\"}\n"
            "{\"code\": 22, \"text\": \"Datebook Synchronization Failed\"}\n");
  const std::string log = ReadFile(profile_ + "/hotsync.log");
  EXPECT_TRUE(
      Contains(log, "==== HotSync 2024-03-05 07:00:00 for Ann Example, fast synchronization"))
      << log;
  EXPECT_TRUE(Contains(log, "Datebook Synchronization Failed"));
  EXPECT_EQ(ReadFile(Datebook()), handheldBefore);

  // Each synchronization appends to the log.
  r = Sync();
  EXPECT_EQ(CountOf(ReadFile(profile_ + "/hotsync.log"), "==== HotSync"), 2u);
}

TEST_F(HotSyncScenario, ADatabaseOfAnotherToolLoadsAndEditsCarryTheHandheldsMarks) {
  if (!HavePerlFormat()) GTEST_SKIP() << "the libpalm-perl package is not installed";
  MakeProfile();
  const std::string theirs = dir_ + "/theirs.pdb";
  Result r = Perl("write", theirs);
  ASSERT_EQ(r.status, 0) << r.err;
  r = Hotsync({"handheld", profile_, "import", theirs});
  ASSERT_EQ(r.status, 0) << r.err;

  r = Hotsync({"handheld", profile_, "list", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* part :
       {"{\"id\": 257, \"category\": \"Unfiled\", \"categoryIndex\": 0, \"date\": \"2024-03-05\", "
        "\"untimed\": false, \"start\": \"09:30\", \"end\": \"10:15\", \"alarm\": {\"advance\": "
        "5, \"unit\": \"minutes\"}, \"repeat\": null",
        "\"id\": 258, \"category\": \"Work\"",
        "\"repeat\": {\"type\": \"weekly\", \"every\": 1, \"until\": null, \"on\": [\"Mon\", "
        "\"Wed\", \"Fri\"]",
        "\"exceptions\": [\"2024-03-06\"]", "\"untimed\": true",
        "\"private\": true, \"description\": \"Dentist\", \"note\": \"Bring "
        "card\\nRoom 4\"",
        "\"type\": \"monthly-by-day\", \"every\": 1, \"until\": \"2024-12-31\""}) {
    EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out;
  }

  // Unchanged, the database leaves as it came.
  const std::string back = dir_ + "/back.pdb";
  r = Hotsync({"handheld", profile_, "export", back});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(back), ReadFile(theirs));

  // The user's changes on the handheld, read back by the other implementation.
  ASSERT_EQ(Hotsync({"handheld", profile_, "delete", "257", "--archive"}).status, 0);
  ASSERT_EQ(Hotsync({"handheld", profile_, "delete", "0x104"}).status, 0);
  ASSERT_EQ(Hotsync({"handheld", profile_, "edit", "259", "--public", "--start", "14:00", "--end",
                     "14:45", "--alarm", "2h"})
                .status,
            0);
  ASSERT_EQ(Hotsync({"handheld", profile_, "category", "rename", "Work", "Office"}).status, 0);
  ASSERT_EQ(Hotsync({"handheld", profile_, "category", "add", "Travel"}).status, 0);
  r = Hotsync({"handheld", profile_, "add", "--date", "2024-03-09", "--desc", "Flight",
               "--category", "travel", "--repeat", "weekly", "--on", "Sat,Sun", "--until",
               "2024-04-30", "--except", "2024-03-16"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string newId = r.out.substr(0, r.out.find('\n'));

  r = Perl("dump", Datebook());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> expected = {
      "category 1 id=200 name=Office",
      "category 2 id=",
      "name=Travel",
      "record id=257 marks=deleted,dirty,archive cat=0 date=2024-03-05 time=09:30-10:15 "
      "alarm=5/0 desc=[Staff meeting]",
      "record id=258 marks=dirty cat=1 date=2024-03-04 time=08:00-08:15 "
      "repeat=2/1/days-0101010 except=2024-03-06 desc=[Standup]",
      "record id=259 marks=dirty cat=0 date=2024-03-07 time=14:00-14:45 alarm=2/1 "
      "desc=[Dentist] note=[Bring card\\nRoom 4]",
      "record id=260 marks=deleted,dirty cat=0 date=1904-00-00",  // no data left
      "record id=" + newId +
          " marks=dirty cat=2 date=2024-03-09 untimed "
          "repeat=2/1/until-2024-04-30/days-1000001 except=2024-03-16 desc=[Flight]",
  };
  for (const auto& line : expected) EXPECT_TRUE(Contains(r.out, line)) << line << "\n" << r.out;

  // Deleting a category files its appointments under Unfiled, changed.
  ASSERT_EQ(Hotsync({"handheld", profile_, "category", "delete", "Office"}).status, 0);
  r = Perl("dump", Datebook());
  EXPECT_TRUE(Contains(r.out, "record id=258 marks=dirty cat=0")) << r.out;
  EXPECT_FALSE(Contains(r.out, "Office"));
}

TEST_F(HotSyncScenario, ADamagedDatabaseGetsAClearMessageAndNothingIsWritten) {
  MakeProfile();
  ASSERT_EQ(Hotsync({"handheld", profile_, "add", "--date", "2024-03-05", "--desc", "x"}).status,
            0);
  const std::string whole = ReadFile(Datebook());
  WriteFile(dir_ + "/cut.pdb", whole.substr(0, 40));
  Result r = Hotsync({"handheld", profile_, "import", dir_ + "/cut.pdb"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "cut.pdb: damaged database file: too short")) << r.err;
  EXPECT_EQ(ReadFile(Datebook()), whole);
  // Cut inside the record list.
  WriteFile(Datebook(), whole.substr(0, 80));
  const auto before = Snapshot(profile_);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"handheld", profile_, "list"}, "DatebookDB.pdb: damaged database file: the record list"},
      {{"handheld", profile_, "add", "--date", "2024-03-05"}, "damaged database file"},
      {{"sync", profile_, "--now", kNow}, "damaged database file"},
      {{"sync", profile_, "--now", kNow, "--dry-run"}, "damaged database file"},
      {{"handheld", profile_, "import", dir_ + "/cut.pdb"}, "DatebookDB.pdb: damaged"},
      {{"handheld", dir_ + "/nowhere", "list"}, "no such profile"},
      {{"sync", dir_, "--now", kNow}, "not a profile"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[2]);
    Result r = Hotsync(c.args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    EXPECT_EQ(Snapshot(profile_), before);
  }
}

TEST_F(HotSyncScenario, AnExchangeFileIsShownAsTheConduitLoadsIt) {
  const std::string good = dir_ + "/good.dat";
  // A timed record with an alarm, and an untimed private one with a note.
  WriteFile(good,
            "0002"
            "0000A0010017"
            "2024030509:3010:15305000013Staff meeting\r\n"
            "000000000018"
            "20240306          100000027PERS: Dentist;Bring card;Rm\r\n");
  Result r = Hotsync({"exchange", "dump", good, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out,
                       "{\"id\": 40961, \"hostNumber\": 17, \"status\": \"modified\", \"date\": "
                       "\"2024-03-05\", \"untimed\": false, \"start\": \"09:30\", \"end\": "
                       "\"10:15\", \"alarm\": {\"advance\": 5, \"unit\": 0}, \"repeating\": false, "
                       "\"private\": false, \"description\": \"Staff meeting\", \"note\": \"\"}"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"status\": \"added\", \"date\": \"2024-03-06\", \"untimed\": true"))
      << r.out;
  EXPECT_TRUE(Contains(r.out,
                       "\"private\": true, \"description\": \"PERS: Dentist\", \"note\": "
                       "\"Bring card\\r\\nRm\"}"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"status\": 0}")) << r.out;

  struct Case {
    std::string content;
    const char* status;
  };
  const Case cases[] = {
      {"0003" + ReadFile(good).substr(4), "status 15"},  // more records counted than present
      {"00x1", "status 16"},
  };
  for (const auto& c : cases) {
    WriteFile(dir_ + "/bad.dat", c.content);
    r = Hotsync({"exchange", "dump", dir_ + "/bad.dat"});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(Contains(r.err, c.status)) << r.err;
  }
  r = Hotsync({"exchange", "dump", dir_ + "/bad.dat.missing"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "status 24582 (the file does not exist)")) << r.err;
  // The records read before a failure are still shown.
  WriteFile(dir_ + "/bad.dat", "0003" + ReadFile(good).substr(4));
  r = Hotsync({"exchange", "dump", dir_ + "/bad.dat"});
  EXPECT_TRUE(Contains(r.out, "2 records")) << r.out;
}

TEST_F(HotSyncScenario, TheDriverRecordsTheCalendarOfAnInstallAndTakesALeftoverUpdate) {
  MakeProfile();
  const std::string elsewhere = dir_ + "/calendar-of-ann.txt";
  ASSERT_EQ(Hotsync({"settings", profile_, "set", "Install", elsewhere}).status, 0);
  // A leftover update file from an interrupted synchronization: one event added on the handheld.
  WriteFile(User("update.dat"),
            "0001000000420000"
            "2024030612:0013:00100000005Lunch\r\n");
  Result r = Sync();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "delivered the update file")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Host:     1 added, 0 modified, 0 deleted")) << r.out;
  EXPECT_TRUE(Contains(ReadFile(User("filehost.conf")), "calendar " + elsewhere));
  EXPECT_FALSE(fs::exists(User("update.dat")));
  const std::string calendar = ReadFile(elsewhere);
  EXPECT_TRUE(Contains(calendar, "id 00000042\ndate 2024-03-06\nstart 12:00\nend 13:00\n"))
      << calendar;
  EXPECT_TRUE(Contains(calendar, "description Lunch\nend\n"));
  r = Hotsync({"settings", profile_});
  EXPECT_TRUE(Contains(r.out, "Install      (sz)    \"\"")) << r.out;
}

TEST_F(HotSyncScenario, ADryRunLeavesEveryFileAsItWas) {
  MakeProfile();
  const std::string elsewhere = dir_ + "/calendar-of-ann.txt";
  WriteFile(elsewhere, "next-number 3\nevent 1\ndate 2024-03-06\ndescription Fair\nend\n");
  ASSERT_EQ(Hotsync({"settings", profile_, "set", "Install", elsewhere}).status, 0);
  ASSERT_EQ(Hotsync({"handheld", profile_, "add", "--date", "2024-03-05", "--desc", "x"}).status,
            0);
  ASSERT_EQ(Hotsync({"configure", profile_, "--choose", "3"}).status, 0);
  WriteFile(User("update.dat"),
            "0001000000420000"
            "2024030612:0013:00100000005Lunch\r\n");
  const auto before = Snapshot(profile_);
  const std::string calendarBefore = ReadFile(elsewhere);

  Result r = Sync({"--dry-run"});
  EXPECT_NE(r.status, 64) << r.err;
  EXPECT_TRUE(Contains(r.out, "Dry run of a HotSync")) << r.out;
  EXPECT_TRUE(Contains(r.out, "handheld overwrites desktop")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Not run in a dry run: driver install driver update")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Nothing was changed."));
  EXPECT_EQ(Snapshot(profile_), before);
  EXPECT_EQ(ReadFile(elsewhere), calendarBefore);
}

TEST_F(HotSyncScenario, TheConfiguredChoiceAppliesToTheNextSynchronizationOrToAll) {
  MakeProfile();
  auto heading = [&](const Result& r) { return r.out.substr(0, r.out.find('\n')); };
  ASSERT_EQ(Hotsync({"configure", profile_, "--choose", "3"}).status, 0);
  EXPECT_TRUE(Contains(heading(Sync()), "handheld overwrites desktop"));
  EXPECT_TRUE(Contains(heading(Sync()), "fast synchronization"));

  Result r = Hotsync({"configure", profile_, "--choose", "2", "--default"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "desktop overwrites handheld, for every synchronization")) << r.out;
  EXPECT_TRUE(Contains(heading(Sync()), "desktop overwrites handheld"));
  EXPECT_TRUE(Contains(heading(Sync()), "desktop overwrites handheld"));
  EXPECT_TRUE(Contains(heading(Sync({"--type", "slow"})), "slow synchronization"));

  // "Do nothing" leaves the conduit alone.
  ASSERT_EQ(Hotsync({"configure", profile_, "--choose", "4"}).status, 0);
  const auto before = Snapshot(profile_ + "/user");
  r = Sync();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "nothing to do")) << r.out;
  EXPECT_EQ(Snapshot(profile_ + "/user"), before);
  EXPECT_TRUE(Contains(heading(Sync()), "desktop overwrites handheld"));
}

// The scenarios below need the conduit to synchronize records.

TEST_F(HotSyncScenario, SynchronizingBothWaysWithAChangeOnEachSideAndAConflict) {
  MakeProfile();
  auto add = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"handheld", profile_, "add"});
    Result r = Hotsync(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(0, r.out.find('\n'));
  };
  const std::string meeting = add({"--date", "2024-03-05", "--start", "09:30", "--end", "10:15",
                                   "--desc", "Staff meeting", "--alarm", "5m"});
  add({"--date", "2024-03-04", "--start", "08:00", "--end", "08:15", "--desc", "Standup",
       "--repeat", "daily", "--except", "2024-03-06"});
  add({"--date", "2024-03-07", "--desc", "Dentist", "--private", "--note", "Bring card"});
  WriteFile(Calendar(),
            "next-number 5\nevent 3\ndate 2024-03-06\nstart 12:00\nend 13:00\n"
            "description Lunch with Bob\nend\n");

  Result r = Sync();
  REQUIRE_SYNCHRONIZING(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Date Book: completed")) << r.out;
  std::string host = ReadFile(Calendar());
  EXPECT_EQ(CountOf(host, "description Staff meeting\n"), 1u) << host;
  EXPECT_EQ(CountOf(host, "description PERS: Dentist\n"), 1u) << host;
  // Daily from 03-04 with 03-06 excepted: the eight days of the window less one.
  EXPECT_EQ(CountOf(host, "description Standup\n"), 7u) << host;
  EXPECT_EQ(CountOf(host, "repeating\n"), 7u) << host;
  r = Hotsync({"handheld", profile_, "list", "--json", "--all"});
  EXPECT_EQ(CountOf(r.out, "\"description\": \"Lunch with Bob\""), 1u) << r.out;
  EXPECT_FALSE(Contains(r.out, "dirty")) << r.out;

  // A second synchronization with no change changes nothing on either side.
  const std::string handheldBefore = ReadFile(Datebook());
  r = Sync();
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "Handheld: 0 added, 0 modified, 0 deleted")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Host:     0 added, 0 modified, 0 deleted")) << r.out;

  // Each side changes the meeting differently; the handheld adds an event, the host drops one.
  ASSERT_EQ(
      Hotsync({"handheld", profile_, "edit", meeting, "--desc", "Staff meeting, room 2"}).status,
      0);
  add({"--date", "2024-03-08", "--start", "16:00", "--end", "17:00", "--desc", "Hair"});
  host = ReadFile(Calendar());
  const size_t at = host.find("description Staff meeting\n");
  ASSERT_NE(at, std::string::npos);
  host.replace(at, std::string("description Staff meeting\n").size(),
               "description Staff meeting, host\n");
  const size_t lunch = host.find("description Lunch with Bob\n");
  ASSERT_NE(lunch, std::string::npos);
  host.replace(lunch, std::string("description Lunch with Bob\n").size(), "description Lunch\n");
  WriteFile(Calendar(), host);

  r = Sync();
  EXPECT_NE(r.status, 2) << r.out << r.err;
  EXPECT_EQ(CountOf(r.out, "The following record was modified on both Pilot and the Desktop"), 1u)
      << r.out;
  r = Hotsync({"handheld", profile_, "list", "--json"});
  EXPECT_EQ(CountOf(r.out, "\"description\": \"Staff meeting, host\""), 1u) << r.out;
  EXPECT_EQ(CountOf(r.out, "\"description\": \"Staff meeting, room 2\""), 1u) << r.out;
  EXPECT_EQ(CountOf(r.out, "\"description\": \"Hair\""), 1u) << r.out;
  host = ReadFile(Calendar());
  EXPECT_EQ(CountOf(host, "description Staff meeting, host\n"), 1u) << host;
  EXPECT_EQ(CountOf(host, "description Staff meeting, room 2\n"), 1u) << host;
  EXPECT_EQ(CountOf(host, "description Hair\n"), 1u) << host;
}

TEST_F(HotSyncScenario, AnInterruptedSynchronizationIsFollowedByACleanOne) {
  MakeProfile();
  ASSERT_NO_FATAL_FAILURE(OneEventOnEachSide());
  const std::string hostBefore = ReadFile(Calendar());
  // The connection breaks when the first record is written to the handheld.
  Result r = Sync({"--inject", "HhWriteRecord@1=0x2001"});
  REQUIRE_SYNCHRONIZING(r);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_TRUE(Contains(r.out, "Datebook Synchronization Failed")) << r.out;
  EXPECT_EQ(ReadFile(Calendar()), hostBefore);

  r = Sync();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  r = Hotsync({"handheld", profile_, "list", "--json"});
  EXPECT_EQ(CountOf(r.out, "\"description\": \"Host only\""), 1u) << r.out;
  EXPECT_EQ(CountOf(r.out, "\"description\": \"Handheld only\""), 1u) << r.out;
  const std::string host = ReadFile(Calendar());
  EXPECT_EQ(CountOf(host, "description Host only\n"), 1u) << host;
  EXPECT_EQ(CountOf(host, "description Handheld only\n"), 1u) << host;
}

// A big-endian number of the file's header.
uint32_t HeaderNumber(const std::string& bytes, size_t offset, size_t size) {
  uint32_t n = 0;
  for (size_t i = 0; i < size && offset + i < bytes.size(); ++i) {
    n = n << 8 | static_cast<uint8_t>(bytes[offset + i]);
  }
  return n;
}

TEST_F(HotSyncScenario, ADateBookTheSynchronizationCreatesIsOfTheDateBooksTypeAndCreator) {
  MakeProfile();
  ASSERT_TRUE(fs::remove(Datebook()));
  HostCalendarWithOneEvent();
  Result r = Sync();
  REQUIRE_SYNCHRONIZING(r);
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  const std::string bytes = ReadFile(Datebook());
  ASSERT_GE(bytes.size(), 78u);
  EXPECT_EQ(bytes.substr(0, 11), std::string("DatebookDB\0", 11));
  EXPECT_EQ(bytes.substr(60, 4), "DATA");
  EXPECT_EQ(bytes.substr(64, 4), "date");
  EXPECT_EQ(HeaderNumber(bytes, 32, 2), 0u);  // attributes
  EXPECT_EQ(HeaderNumber(bytes, 34, 2), 0u);  // version
  r = Hotsync({"handheld", profile_, "list", "--json"});
  EXPECT_EQ(CountOf(r.out, "\"description\": \"Host only\""), 1u) << r.out;

  // Other tools read the new database: its application info block is the Date Book's whole one.
  if (HavePerlFormat()) {
    Result dump = Perl("dump", Datebook());
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_TRUE(Contains(dump.out, "db name=DatebookDB type=DATA creator=date records=1"))
        << dump.out;
  }
}

TEST_F(HotSyncScenario, ADryRunReportsBothSidesRecordByRecord) {
  MakeProfile();
  ASSERT_NO_FATAL_FAILURE(OneEventOnEachSide());
  const auto before = Snapshot(profile_);
  Result r = Sync({"--dry-run"});
  REQUIRE_SYNCHRONIZING(r);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Handheld: 1 added")) << r.out;
  EXPECT_TRUE(Contains(r.out, "2024-03-06 12:00-13:00  Host only")) << r.out;
  EXPECT_TRUE(Contains(r.out, "2024-03-05 09:00-09:30  Handheld only")) << r.out;
  EXPECT_EQ(Snapshot(profile_), before);
}

// The host calendar emptied (here: its file replaced by one without events) after a
// synchronization: the next one refuses to delete the handheld's events until the user allows
// it for that one synchronization.
TEST_F(HotSyncScenario, AnEmptiedHostCalendarEmptiesTheHandheldOnlyWhenAllowed) {
  MakeProfile();
  OneEventOnEachSide();
  Result r = Sync();
  REQUIRE_SYNCHRONIZING(r);
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  WriteFile(Calendar(), "next-number 5\n");
  r = Sync();
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_TRUE(Contains(r.out, "The host calendar has no records for the days being synchronized"))
      << r.out;
  r = Hotsync({"handheld", profile_, "list", "--json"});
  EXPECT_TRUE(Contains(r.out, "\"description\": \"Handheld only\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"description\": \"Host only\"")) << r.out;

  r = Sync({"--allow-host-wipe"});
  REQUIRE_SYNCHRONIZING(r);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "2 deleted")) << r.out;
  r = Hotsync({"handheld", profile_, "list", "--json"});
  EXPECT_FALSE(Contains(r.out, "Handheld only")) << r.out;
  EXPECT_FALSE(Contains(r.out, "Host only")) << r.out;
  // The permission went with the synchronization it was given for.
  r = Hotsync({"settings", profile_});
  EXPECT_TRUE(Contains(r.out, "AllowHostWipe (dword) 0")) << r.out;
}

}  // namespace
