// The iCalendar host driver as a user runs it: hotsync over a vdir that khal reads and
// vdirsyncer pairs with a Radicale server on a free local port. Every program is started
// directly, with an environment of its own (scratch HOME and XDG folders) and a time-out.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "hostfile/vuzur_table.h"
#include "platform/testing/test_support.h"

namespace {

namespace fs = std::filesystem;
using velqor::test_support::ReadFile;
using velqor::test_support::WriteFile;

constexpr const char* kZone = "Europe/Berlin";

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size())) {
    text.replace(p, from.size(), to);
  }
  return text;
}

// The ID of the one handheld record (a line of "handheld list --json") holding every part.
std::string IdOf(const std::string& json, const std::vector<std::string>& parts) {
  size_t start = 0;
  while (start < json.size()) {
    size_t end = json.find('\n', start);
    if (end == std::string::npos) end = json.size();
    const std::string line = json.substr(start, end - start);
    start = end + 1;
    bool all = line.rfind("  {\"id\": ", 0) == 0;
    for (const auto& p : parts) all = all && Contains(line, p);
    if (all) return line.substr(9, line.find(',') - 9);
  }
  return "";
}

bool Installed(const std::string& program) {
  return fs::exists("/usr/bin/" + program);
}

// The whole content of the vdir's .ics files, by file name.
std::map<std::string, std::string> Files(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() == ".ics") files[e.path().filename().string()] = ReadFile(e.path());
  }
  return files;
}

std::string AllText(const std::string& dir) {
  std::string all;
  for (const auto& [name, text] : Files(dir)) all += text;
  return all;
}

std::string Event(const std::string& uid, const std::string& lines) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//scenario//EN\r\nBEGIN:VEVENT\r\nUID:" +
         uid + "\r\nDTSTAMP:20240101T000000Z\r\n" + lines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

class IcalScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    dir_ = scratch_.path();
    for (const char* d : {"/home", "/config/khal", "/data", "/vdir/cal", "/status"}) {
      fs::create_directories(dir_ + d);
    }
    vdir_ = dir_ + "/vdir/cal";
    profile_ = dir_ + "/profile";
  }
  void TearDown() override {
    if (radicale_ > 0) {
      kill(radicale_, SIGTERM);
      waitpid(radicale_, nullptr, 0);
    }
  }

  // Starts a program with its own environment; it is killed after `seconds`.
  Result Spawn(const std::vector<std::string>& argv, const std::string& input = "",
               int seconds = 120, pid_t* background = nullptr) {
    static int serial = 0;
    const std::string base = dir_ + "/.run" + std::to_string(++serial);
    WriteFile(base + ".in", input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (base + ".in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (base + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (base + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> env = {"PATH=/usr/bin:/bin",
                                    std::string("TZ=") + kZone,
                                    "HOME=" + dir_ + "/home",
                                    "XDG_CONFIG_HOME=" + dir_ + "/config",
                                    "XDG_DATA_HOME=" + dir_ + "/data",
                                    "VDIRSYNCER_CONFIG=" + dir_ + "/vdirsyncer.conf",
                                    "LANG=C.UTF-8",
                                    "LC_ALL=C.UTF-8"};
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
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return r;
    if (background) {
      *background = pid;
      return r;
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << argv[0] << " did not end within " << seconds << " s";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadFile(base + ".out");
    r.err = ReadFile(base + ".err");
    return r;
  }

  Result Hotsync(std::vector<std::string> args) {
    args.insert(args.begin(), HOTSYNC_PROGRAM);
    return Spawn(args);
  }

  // A profile of 7 days over the vdir, its driver pinned to the day the conduit is.
  void MakeProfile(const std::string& calendar = "") {
    Result r = Hotsync({"init", profile_, "--user", "Ann", "--days", "7", "--calendar",
                        calendar.empty() ? vdir_ : calendar});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string conf = ReadFile(profile_ + "/user/icalhost.conf");
    ASSERT_TRUE(Contains(conf, "calendar ")) << conf;
    ASSERT_TRUE(Contains(conf, std::string("timezone ") + kZone)) << conf;
  }
  Result Sync(const std::string& day) {
    const std::string now = day + " 07:00";
    WriteFile(profile_ + "/user/icalhost.conf",
              "calendar " + vdir_ + "\ntimezone " + kZone + "\nnow " + now + "\n");
    return Hotsync({"sync", profile_, "--now", now});
  }
  void SyncOk(const std::string& day) {
    Result r = Sync(day);
    ASSERT_EQ(r.status, 0) << r.out << r.err << ReadFile(profile_ + "/hotsync.log");
    ASSERT_TRUE(Contains(r.out, "Date Book: completed"))
        << r.out << ReadFile(profile_ + "/hotsync.log");
  }
  std::string Handheld() { return Hotsync({"handheld", profile_, "list", "--json"}).out; }
  std::string Add(std::vector<std::string> options) {
    options.insert(options.begin(), {"handheld", profile_, "add"});
    Result r = Hotsync(options);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string id = r.out;
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
  }

  void WriteKhalConfig() {
    WriteFile(dir_ + "/config/khal/config",
              "[calendars]\n[[home]]\npath = " + vdir_ +
                  "\ntype = calendar\n[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\n"
                  "longdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                  "longdatetimeformat = %Y-%m-%d %H:%M\nlocal_timezone = Europe/Berlin\n"
                  "default_timezone = Europe/Berlin\n[default]\ndefault_calendar = home\n");
  }
  std::string KhalList(const std::string& from, const std::string& days) {
    Result r = Spawn({"/usr/bin/khal", "list", "--format", "{start} {end} {title}", from, days});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  // Radicale on a free local port with scratch storage, and vdirsyncer pairing it with the
  // vdir (and with a second vdir standing for another client of the server).
  void StartServer() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    close(s);
    WriteFile(dir_ + "/radicale.conf", "[server]\nhosts = 127.0.0.1:" + std::to_string(port_) +
                                           "\n[auth]\ntype = none\n[rights]\ntype = owner_only\n"
                                           "[storage]\nfilesystem_folder = " +
                                           dir_ + "/server\n[logging]\nlevel = warning\n");
    Spawn({"/usr/bin/python3", "-m", "radicale", "--config", dir_ + "/radicale.conf"}, "", 0,
          &radicale_);
    ASSERT_GT(radicale_, 0);
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
      int c = socket(AF_INET, SOCK_STREAM, 0);
      up = connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      close(c);
      if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(up) << "radicale did not start";
    fs::create_directories(dir_ + "/other/cal");
    std::string conf = "[general]\nstatus_path = \"" + dir_ + "/status/\"\n";
    for (const std::string& name : {std::string("mine"), std::string("other")}) {
      const std::string folder = name == "mine" ? dir_ + "/vdir/" : dir_ + "/other/";
      conf += "[pair " + name + "]\na = \"" + name + "_local\"\nb = \"" + name +
              "_server\"\ncollections = [\"from a\", \"from b\"]\n"
              "conflict_resolution = \"a wins\"\n[storage " +
              name + "_local]\ntype = \"filesystem\"\npath = \"" + folder +
              "\"\nfileext = \".ics\"\n[storage " + name +
              "_server]\ntype = \"caldav\"\nurl = \"http://127.0.0.1:" + std::to_string(port_) +
              "/\"\nusername = \"ann\"\npassword = \"secret\"\n";
    }
    WriteFile(dir_ + "/vdirsyncer.conf", conf);
    Result r = Spawn({"/usr/bin/vdirsyncer", "discover"}, "y\ny\ny\ny\n");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  void Vdirsyncer() {
    Result r = Spawn({"/usr/bin/vdirsyncer", "sync"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  std::string ServerText() {
    std::string all;
    const std::string folder = dir_ + "/server/collection-root/ann/cal";
    if (!fs::exists(folder)) return all;
    for (const auto& e : fs::directory_iterator(folder)) {
      if (e.path().extension() == ".ics") all += ReadFile(e.path());
    }
    return all;
  }

  velqor::test_support::ScratchDir scratch_;
  std::string dir_, vdir_, profile_;
  pid_t radicale_ = 0;
  int port_ = 0;
};

TEST_F(IcalScenario, KhalShowsTheHandheldsEventsAndItsChangesReachTheHandheld) {
  if (!Installed("khal")) GTEST_SKIP() << "khal is not installed (scripts/setup.sh installs it)";
  MakeProfile();
  WriteKhalConfig();
  const std::string lunch = Add({"--date", "2024-03-06", "--start", "12:00", "--end", "13:00",
                                 "--desc", "Lunch with Bob", "--note", "Table 4"});
  Add({"--date", "2024-03-05", "--start", "08:00", "--end", "08:15", "--desc", "Standup",
       "--repeat", "daily", "--except", "2024-03-07"});
  const std::string dentist = Add({"--date", "2024-03-08", "--untimed", "--desc", "Dentist"});
  SyncOk("2024-03-05");

  std::string list = KhalList("2024-03-05", "8d");
  EXPECT_EQ(CountOf(list, "2024-03-06 12:00 2024-03-06 13:00 Lunch with Bob"), 1u) << list;
  EXPECT_EQ(CountOf(list, "Dentist"), 1u) << list;
  // The daily stand-up: once on each day of the window (5 to 12 March) but the exception.
  EXPECT_EQ(CountOf(list, "08:00 "), 7u) << list;
  EXPECT_FALSE(Contains(list, "2024-03-07 08:00")) << list;

  // khal new, an edit and a deletion in the vdir reach the handheld.
  Result made = Spawn({"/usr/bin/khal", "new", "2024-03-07", "18:00", "19:00", "Choir practice"});
  ASSERT_EQ(made.status, 0) << made.err;
  for (const auto& [name, text] : Files(vdir_)) {
    if (Contains(text, "Lunch with Bob")) {
      WriteFile(vdir_ + "/" + name, Replaced(text, "Lunch with Bob", "Lunch with Carol"));
    }
    if (Contains(text, "Dentist")) fs::remove(vdir_ + "/" + name);
  }
  SyncOk("2024-03-05");
  std::string hh = Handheld();
  EXPECT_EQ(CountOf(hh, "\"Choir practice\""), 1u) << hh;
  EXPECT_TRUE(Contains(hh, "\"start\": \"18:00\", \"end\": \"19:00\"")) << hh;
  EXPECT_EQ(CountOf(hh, "Lunch with Carol"), 1u) << hh;
  EXPECT_FALSE(Contains(hh, "Dentist")) << hh;
  (void)dentist;

  // The handheld edits one event and deletes another: the vdir follows, once.
  ASSERT_EQ(
      Hotsync({"handheld", profile_, "edit", lunch, "--start", "12:30", "--end", "13:30"}).status,
      0);
  const std::string choir = IdOf(hh, {"Choir practice"});
  ASSERT_FALSE(choir.empty()) << hh;
  ASSERT_EQ(Hotsync({"handheld", profile_, "delete", choir}).status, 0);
  SyncOk("2024-03-06");
  list = KhalList("2024-03-05", "7d");
  EXPECT_EQ(CountOf(list, "2024-03-06 12:30 2024-03-06 13:30 Lunch with Carol"), 1u) << list;
  EXPECT_FALSE(Contains(list, "Choir")) << list;
  EXPECT_FALSE(Contains(AllText(vdir_), "Choir")) << "the deleted event's file is gone";
  // The edit kept the note the handheld did not change.
  EXPECT_TRUE(Contains(AllText(vdir_), "DESCRIPTION:Table 4"));
}

TEST_F(IcalScenario, AnEventOfAnotherZoneShowsAtItsLocalTimeAndKeepsItsZone) {
  MakeProfile();
  WriteFile(vdir_ + "/ny.ics", Event("ny-call",
                                     "DTSTART;TZID=America/New_York:20240306T090000\r\n"
                                     "DTEND;TZID=America/New_York:20240306T100000\r\n"
                                     "SUMMARY:Call with New York\r\nLOCATION:Bridge line\r\n"));
  SyncOk("2024-03-05");
  std::string hh = Handheld();
  EXPECT_TRUE(Contains(hh,
                       "\"date\": \"2024-03-06\", \"untimed\": false, \"start\": \"15:00\", "
                       "\"end\": \"16:00\""))
      << hh;
  const std::string call = IdOf(hh, {"New York"});
  ASSERT_FALSE(call.empty()) << hh;
  ASSERT_EQ(
      Hotsync({"handheld", profile_, "edit", call, "--start", "16:00", "--end", "17:00"}).status,
      0);
  SyncOk("2024-03-05");
  const std::string text = ReadFile(vdir_ + "/ny.ics");
  EXPECT_TRUE(Contains(text, "DTSTART;TZID=America/New_York:20240306T100000")) << text;
  EXPECT_TRUE(Contains(text, "DTEND;TZID=America/New_York:20240306T110000")) << text;
  EXPECT_TRUE(Contains(text, "LOCATION:Bridge line")) << text;
  EXPECT_TRUE(Contains(text, "SUMMARY:Call with New York")) << text;
}

TEST_F(IcalScenario, BadInputIsReportedAndNothingIsTouched) {
  MakeProfile();
  WriteFile(vdir_ + "/good.ics", Event("good", "DTSTART:20240306T110000Z\r\nSUMMARY:Good\r\n"));
  SyncOk("2024-03-05");
  struct Case {
    const char* name;
    std::string text;
    const char* message;
  } cases[] = {
      {"damaged", "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:x\r\nDTSTART:2024", "does not parse"},
      {"no DTSTART", Event("nostart", "SUMMARY:No start\r\n"), "has no DTSTART"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(vdir_ + "/bad.ics", c.text);
    WriteFile(vdir_ + "/notes.txt", "not a calendar");
    const auto before = Files(vdir_);
    const std::string handheldBefore = Handheld();
    Result r = Sync("2024-03-05");
    const std::string log = ReadFile(profile_ + "/hotsync.log");
    EXPECT_TRUE(Contains(log, c.message)) << log;
    EXPECT_TRUE(Contains(log, "bad.ics")) << log;
    EXPECT_EQ(Files(vdir_), before);
    EXPECT_EQ(Handheld(), handheldBefore);
    fs::remove(vdir_ + "/bad.ics");
  }
  SyncOk("2024-03-05");
  EXPECT_EQ(CountOf(Handheld(), "\"Good\""), 1u);
}

TEST_F(IcalScenario, AHugeCalendarSynchronizesItsWindow) {
  MakeProfile();
  // 10,000 events, one every 3 days from 1990 on, ten of them in the window.
  for (int i = 0; i < 10000; ++i) {
    const int64_t t = 631152000 + static_cast<int64_t>(i) * 3 * 86400 + 9 * 3600;
    char stamp[32];
    const time_t tt = static_cast<time_t>(t);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", gmtime(&tt));
    WriteFile(
        vdir_ + "/e" + std::to_string(i) + ".ics",
        Event("e" + std::to_string(i),
              std::string("DTSTART:") + stamp + "\r\nSUMMARY:Event " + std::to_string(i) + "\r\n"));
  }
  const auto start = std::chrono::steady_clock::now();
  SyncOk("2024-03-05");
  SyncOk("2024-03-06");
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string hh = Handheld();
  EXPECT_EQ(CountOf(hh, "\"Event "), 3u) << hh;  // 5, 8 and 11 March (6 to 13 March window)
  EXPECT_LT(seconds, 120.0);
}

TEST_F(IcalScenario, CalDavRoundTripsAndTenDaysConverge) {
  if (!Installed("vdirsyncer") || !Installed("radicale")) {
    GTEST_SKIP() << "vdirsyncer and radicale are installed by scripts/setup.sh";
  }
  MakeProfile();
  StartServer();
  // Handheld to server.
  Add({"--date", "2024-03-06", "--start", "09:00", "--end", "10:00", "--desc",
       "From the handheld"});
  SyncOk("2024-03-05");
  Vdirsyncer();
  EXPECT_EQ(CountOf(ServerText(), "SUMMARY:From the handheld"), 1u);
  // Server to handheld: another client puts an event and a weekly series with an EXDATE and a
  // moved occurrence.
  WriteFile(dir_ + "/other/cal/put.ics",
            Event("put-1",
                  "DTSTART:20240307T140000Z\r\nDTEND:20240307T150000Z\r\n"
                  "SUMMARY:From the server\r\n"));
  WriteFile(dir_ + "/other/cal/weekly.ics",
            "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\n"
            "UID:weekly\r\nDTSTAMP:20240101T000000Z\r\n"
            "DTSTART;TZID=Europe/Berlin:20240205T180000\r\n"
            "DTEND;TZID=Europe/Berlin:20240205T190000\r\nRRULE:FREQ=WEEKLY;BYDAY=MO,WE\r\n"
            "EXDATE;TZID=Europe/Berlin:20240306T180000\r\nSUMMARY:Yoga\r\nEND:VEVENT\r\n"
            "BEGIN:VEVENT\r\nUID:weekly\r\nDTSTAMP:20240101T000000Z\r\n"
            "RECURRENCE-ID;TZID=Europe/Berlin:20240311T180000\r\n"
            "DTSTART;TZID=Europe/Berlin:20240312T200000\r\n"
            "DTEND;TZID=Europe/Berlin:20240312T210000\r\nSUMMARY:Yoga (moved)\r\nEND:VEVENT\r\n"
            "END:VCALENDAR\r\n");
  Vdirsyncer();  // the other client uploads
  Vdirsyncer();  // ours downloads
  SyncOk("2024-03-05");
  std::string hh = Handheld();
  EXPECT_EQ(CountOf(hh, "From the server"), 1u) << hh;
  // Yoga on Mondays and Wednesdays: 6 March excluded, 11 March moved to 12 March 20:00; the
  // window of 5 March ends at midnight of 12 March, so none is in it yet.
  EXPECT_FALSE(Contains(hh, "Yoga")) << hh;
  SyncOk("2024-03-07");
  hh = Handheld();
  EXPECT_EQ(CountOf(hh, "Yoga"), 2u) << hh;
  EXPECT_TRUE(Contains(hh,
                       "\"date\": \"2024-03-12\", \"untimed\": false, \"start\": \"20:00\", "
                       "\"end\": \"21:00\", \"alarm\": null, \"repeat\": null, "
                       "\"exceptions\": [], \"private\": false, \"description\": \"Yoga (moved)\""))
      << hh;
  EXPECT_TRUE(Contains(hh,
                       "\"date\": \"2024-03-13\", \"untimed\": false, \"start\": \"18:00\", "
                       "\"end\": \"19:00\", \"alarm\": null, \"repeat\": null, "
                       "\"exceptions\": [], \"private\": false, \"description\": \"Yoga\""))
      << hh;
  // Deleting that occurrence on the handheld adds an EXDATE on the server.
  const std::string yoga = IdOf(hh, {"2024-03-13", "\"Yoga\""});
  ASSERT_FALSE(yoga.empty()) << hh;
  ASSERT_EQ(Hotsync({"handheld", profile_, "delete", yoga}).status, 0);
  SyncOk("2024-03-07");
  Vdirsyncer();
  const std::string server = ServerText();
  EXPECT_TRUE(Contains(server, "EXDATE;TZID=Europe/Berlin:20240313T180000")) << server;
  EXPECT_TRUE(Contains(server, "RRULE:FREQ=WEEKLY;BYDAY=MO,WE")) << server;

  // Ten days, a change on each end every day.
  for (int day = 0; day < 10; ++day) {
    char date[16], next[16];
    std::snprintf(date, sizeof date, "2024-03-%02d", 8 + day);
    std::snprintf(next, sizeof next, "2024-03-%02d", 9 + day);
    const std::string n = std::to_string(day);
    Add({"--date", next, "--start", "10:00", "--end", "10:30", "--desc", "Handheld day " + n});
    WriteFile(dir_ + "/other/cal/server-" + n + ".ics",
              Event("server-" + n, "DTSTART;TZID=Europe/Berlin:" + Replaced(next, "-", "") +
                                       "T160000\r\nSUMMARY:Server day " + n + "\r\n"));
    Vdirsyncer();
    Vdirsyncer();
    SyncOk(date);
    Vdirsyncer();
  }
  Vdirsyncer();
  hh = Handheld();
  const std::string serverAll = ServerText();
  for (int day = 0; day < 10; ++day) {
    const std::string n = std::to_string(day);
    EXPECT_EQ(CountOf(hh, "\"Handheld day " + n + "\""), 1u) << hh;
    EXPECT_EQ(CountOf(hh, "\"Server day " + n + "\""), 1u) << hh;
    EXPECT_EQ(CountOf(serverAll, "SUMMARY:Handheld day " + n + "\r\n"), 1u);
    EXPECT_EQ(CountOf(serverAll, "SUMMARY:Server day " + n + "\r\n"), 1u);
  }
  EXPECT_EQ(CountOf(serverAll, "SUMMARY:From the handheld"), 1u);
  EXPECT_EQ(CountOf(hh, "From the server"), 1u);
}

}  // namespace

namespace {

// What every host driver owes the conduit's update step: an "added" record whose handheld ID
// the host already holds updates that event, and the same update file applied twice leaves the
// same calendar. One case per driver program.
struct DriverCase {
  const char* name;
  const char* program;
  const char* config;    // the user folder's configuration file
  const char* settings;  // its content, the zone and the clock pinned
  const char* calendar;  // what holds the calendar, in the user folder
};

const DriverCase kDrivers[] = {
    {"icalhost", ICALHOST_PROGRAM, "icalhost.conf",
     "calendar cal\ntimezone Europe/Berlin\nnow 2024-03-05 07:00\n", "cal"},
};

class DriverUpdateContract : public IcalScenario, public ::testing::WithParamInterface<DriverCase> {
 protected:
  std::string User() const { return dir_ + "/user/"; }
  Result Step(const std::string& step, const std::string& file, const std::string& last) {
    return Spawn({GetParam().program, step, User(), file, "Ann", last});
  }
  // The calendar's files and their bytes.
  std::map<std::string, std::string> Calendar() const {
    std::map<std::string, std::string> files;
    const fs::path root = User() + GetParam().calendar;
    if (fs::is_regular_file(root)) {
      files[root.string()] = ReadFile(root.string());
    } else if (fs::is_directory(root)) {
      for (const auto& e : fs::directory_iterator(root)) {
        files[e.path().string()] = ReadFile(e.path().string());
      }
    }
    return files;
  }
  static std::string Joined(const std::map<std::string, std::string>& files) {
    std::string all;
    for (const auto& [name, text] : files) all += text;
    return all;
  }
  void WriteUpdate(const std::string& description) {
    CVuzurTable table;
    CVuzurRecord rec(table, 0);
    ASSERT_EQ(table.AppendBlankRecord(rec), 0);
    velqor::hostfile::ExchangeRecord f;
    f.recordId = 0x00D00001;
    f.startTime = velqor::test_support::Local(2024, 3, 6, 9, 0);
    f.endTime = velqor::test_support::Local(2024, 3, 6, 9, 30);
    f.status = kStatusAdded;
    f.hasText = true;
    f.description = description;
    ASSERT_EQ(rec.SetExchangeFields(f), 0);
    rec.SetStatus(kStatusAdded);
    ASSERT_EQ(table.SaveTo(User() + "update.dat"), 0);
  }
  velqor::test_support::ScopedTimeZone zone_{kZone};
};

TEST_P(DriverUpdateContract, AnUpdateAppliedTwiceAndAnAddedKnownRecordChangeNothingMore) {
  fs::create_directories(User() + "cal");
  WriteFile(User() + GetParam().config, GetParam().settings);
  Result r = Step("extract", "extract.dat", "7");
  ASSERT_EQ(r.status, 0) << r.err << ReadFile(User() + "conderr.txt");
  WriteUpdate("Dentist");
  ASSERT_EQ(Step("update", "update.dat", "0").status, 0) << ReadFile(User() + "conderr.txt");
  const auto once = Calendar();
  EXPECT_EQ(CountOf(Joined(once), "Dentist"), 1u) << Joined(once);
  ASSERT_EQ(Step("update", "update.dat", "0").status, 0) << ReadFile(User() + "conderr.txt");
  EXPECT_EQ(Calendar(), once);
  // The handheld sends the record as added again, changed: the host event follows, once.
  WriteUpdate("Dentist at 9");
  ASSERT_EQ(Step("update", "update.dat", "0").status, 0) << ReadFile(User() + "conderr.txt");
  const std::string after = Joined(Calendar());
  EXPECT_EQ(CountOf(after, "Dentist at 9"), 1u) << after;
  EXPECT_EQ(CountOf(after, "Dentist"), 1u) << after;
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverUpdateContract, ::testing::ValuesIn(kDrivers),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
