#include "tools/pdb_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/testing/test_support.h"

namespace velqor::tools {
namespace {

// Builds database files byte by byte from the published layout, independently of the writer.
class Bytes {
 public:
  Bytes& u8(uint8_t v) {
    s_.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u16(uint16_t v) { return u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v)); }
  Bytes& u32(uint32_t v) {
    return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v));
  }
  Bytes& raw(const std::string& t) {
    s_ += t;
    return *this;
  }
  Bytes& name(const std::string& n, const std::string& tail = "") {
    std::string field = n;
    field.push_back('\0');
    field += tail;
    field.resize(32, '\0');
    return raw(field);
  }
  const std::string& str() const { return s_; }
  size_t size() const { return s_.size(); }

 private:
  std::string s_;
};

struct Entry {
  uint32_t offset;
  uint8_t attr;
  uint32_t id;
};

// A header for `count` records with the given block offsets.
Bytes Header(uint16_t count, uint32_t appInfo, uint32_t sortInfo, uint16_t flags = 0x0008) {
  Bytes b;
  b.name("DatebookDB", "junk").u16(flags).u16(3).u32(0xB5A1C2D3).u32(0x66554433).u32(0).u32(42);
  b.u32(appInfo).u32(sortInfo).raw("DATA").raw("date").u32(0x00A00007).u32(0).u16(count);
  return b;
}

// A file with an app info block "AI", a sort info block "SI", a live record, a deleted record
// without data, an archived deleted record and a record whose data lies first in the file.
std::string SampleFile() {
  const uint32_t list = 78 + 4 * 8;
  const uint32_t gapEnd = list + 3;  // three unknown bytes instead of the usual two
  const uint32_t ai = gapEnd, si = ai + 2, r3 = si + 2, r0 = r3 + 1, r1 = r0 + 5, r2 = r1;
  Bytes b = Header(4, ai, si);
  b.u32(r0).u8(0x40 | 0x10 | 0x03).u8(0x00).u8(0x10).u8(0x01);  // dirty, private, category 3
  b.u32(r1).u8(0x80 | 0x05).u8(0).u8(0x10).u8(0x02);            // deleted, odd low bits
  b.u32(r2).u8(0x80 | 0x08).u8(0).u8(0x10).u8(0x03);            // deleted, to be archived
  b.u32(r3).u8(0x07).u8(0).u8(0x10).u8(0x04);                   // category 7
  b.u8(1).u8(2).u8(3);                                          // the gap
  b.raw("AI").raw("SI").raw("Z").raw("hello").raw("archived!");
  return b.str();
}

TEST(PdbFileTest, ReadsEveryFieldAndWritesTheSameBytes) {
  const std::string bytes = SampleFile();
  PdbFile file;
  std::string error;
  ASSERT_TRUE(ParsePdb(bytes, &file, &error)) << error;
  const auto& db = file.db;
  EXPECT_EQ(db.name, "DatebookDB");
  EXPECT_EQ(db.flags, 0x0008);
  EXPECT_EQ(db.version, 3);
  EXPECT_EQ(db.creationTime, 0xB5A1C2D3u);
  EXPECT_EQ(db.modificationTime, 0x66554433u);
  EXPECT_EQ(db.modificationNumber, 42u);
  EXPECT_EQ(db.type, FourCC("DATA"));
  EXPECT_EQ(db.creator, FourCC("date"));
  EXPECT_EQ(db.uniqueIdSeed, 0x00A00007u);
  ASSERT_TRUE(db.hasAppInfo);
  EXPECT_EQ(std::string(db.appInfo.begin(), db.appInfo.end()), "AI");
  ASSERT_TRUE(db.hasSortInfo);
  EXPECT_EQ(std::string(db.sortInfo.begin(), db.sortInfo.end()), "SI");
  ASSERT_EQ(db.records.size(), 4u);

  struct Expect {
    uint32_t id;
    uint8_t attributes;
    uint8_t category;
    std::string data;
  };
  const Expect expected[] = {{0x1001, 0x50, 3, "hello"},
                             {0x1002, 0x85, 0, ""},
                             {0x1003, 0x88, 0, "archived!"},
                             {0x1004, 0x00, 7, "Z"}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(db.records[i].id, expected[i].id);
    EXPECT_EQ(db.records[i].attributes, expected[i].attributes);
    EXPECT_EQ(db.records[i].category, expected[i].category);
    EXPECT_EQ(std::string(db.records[i].data.begin(), db.records[i].data.end()), expected[i].data);
  }

  // Written back, blocks go in their usual order; read again, nothing is lost.
  std::string written;
  ASSERT_TRUE(SerializePdb(file, &written, &error)) << error;
  PdbFile again;
  ASSERT_TRUE(ParsePdb(written, &again, &error)) << error;
  EXPECT_EQ(again.layout.gap, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(again.layout.nameField, file.layout.nameField);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(again.db.records[i].data, db.records[i].data);
    EXPECT_EQ(again.db.records[i].attributes, db.records[i].attributes);
  }
  std::string twice;
  ASSERT_TRUE(SerializePdb(again, &twice, &error));
  EXPECT_EQ(twice, written);
}

TEST(PdbFileTest, AFileInTheUsualOrderComesBackByteForByte) {
  const uint32_t list = 78 + 2 * 8;
  Bytes b = Header(2, list + 2, 0);
  b.u32(list + 2 + 4).u8(0x41).u8(0).u8(0).u8(9);
  b.u32(list + 2 + 4 + 3).u8(0x00).u8(0).u8(0).u8(10);
  b.u16(0).raw("CATS").raw("abc").raw("defgh");
  PdbFile file;
  std::string error;
  ASSERT_TRUE(ParsePdb(b.str(), &file, &error)) << error;
  std::string written;
  ASSERT_TRUE(SerializePdb(file, &written, &error));
  EXPECT_EQ(written, b.str());
}

TEST(PdbFileTest, DamagedFilesAreRefusedWithTheirReason) {
  const std::string good = SampleFile();
  auto with = [&](size_t offset, std::initializer_list<uint8_t> bytes) {
    std::string s = good;
    for (uint8_t v : bytes) s[offset++] = static_cast<char>(v);
    return s;
  };
  struct Case {
    const char* what;
    std::string bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"empty", "", "too short"},
      {"header cut", good.substr(0, 77), "too short"},
      {"name without NUL", std::string(32, 'x') + good.substr(32), "not terminated"},
      {"resource database", with(32, {0x00, 0x01}), "resource database"},
      {"record list past the end", with(76, {0x40, 0x00}), "runs past the end"},
      {"record offset beyond the file", with(78, {0x00, 0x01, 0x00, 0x00}), "record 0 starts"},
      {"record offset inside the list", with(78 + 8, {0x00, 0x00, 0x00, 0x10}), "record 1 starts"},
      {"app info beyond the file", with(52, {0x7F, 0, 0, 0}), "application info block"},
      {"sort info beyond the file", with(56, {0x7F, 0, 0, 0}), "sort info block"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PdbFile file;
    std::string error;
    EXPECT_FALSE(ParsePdb(c.bytes, &file, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(PdbFileTest, EveryCutOfAFileIsReadWithinItsBytes) {
  const std::string good = SampleFile();
  for (size_t n = 0; n <= good.size(); ++n) {
    // A copy of exactly n bytes: the sanitizer build catches any read past it.
    std::vector<char> exact(good.begin(), good.begin() + static_cast<long>(n));
    PdbFile file;
    std::string error;
    const bool ok = ParsePdb(std::string(exact.begin(), exact.end()), &file, &error);
    if (!ok) continue;
    size_t total = 0;
    for (const auto& r : file.db.records) total += r.data.size();
    EXPECT_LE(total, n);
  }
}

TEST(PdbFileTest, TheWriterRefusesWhatTheFormCannotHold) {
  PdbFile file;
  std::string out, error;
  file.db.name = std::string(32, 'n');
  EXPECT_FALSE(SerializePdb(file, &out, &error));
  EXPECT_NE(error.find("31 characters"), std::string::npos);
  file.db.name = "Big";
  file.db.records.resize(0x10000);
  EXPECT_FALSE(SerializePdb(file, &out, &error));
  EXPECT_NE(error.find("more than the form can list"), std::string::npos);
}

class PdbTimeTest : public velqor::test_support::PerZoneTest {};

TEST_P(PdbTimeTest, TimesSince1904AreLocalAndTimesSince1970AreTakenAsThey) {
  // 2024-07-01 12:34:56 local (summer time where the zone has it) and 2024-01-15 08:00 local.
  const int fields[][6] = {
      {2024, 7, 1, 12, 34, 56}, {2024, 1, 15, 8, 0, 0}, {1999, 12, 31, 23, 59, 59}};
  for (const auto& f : fields) {
    int64_t t = 0;
    ASSERT_TRUE(platform::MakeLocalTime(f[0], f[1], f[2], f[3], f[4], f[5], &t));
    const uint32_t stored = UnixToPdbTime(t);
    EXPECT_NE(stored & 0x80000000u, 0u);
    EXPECT_EQ(PdbTimeToUnix(stored), t);
    EXPECT_EQ(PdbTimeToUnix(static_cast<uint32_t>(t)), t);  // since 1970: top bit clear
    EXPECT_EQ(UnixToPdbTimeLike(t, 1000), static_cast<uint32_t>(t));
    EXPECT_EQ(UnixToPdbTimeLike(t, stored), stored);
    EXPECT_EQ(UnixToPdbTimeLike(t, 0), stored);
  }
  // The wall-clock count of 1904 does not depend on the zone: 2024-01-01 00:00 local.
  int64_t newYear = 0;
  ASSERT_TRUE(platform::MakeLocalTime(2024, 1, 1, 0, 0, 0, &newYear));
  EXPECT_EQ(UnixToPdbTime(newYear), 3786912000u);
}

INSTANTIATE_TEST_SUITE_P(Zones, PdbTimeTest,
                         ::testing::Values("UTC", "America/New_York", "Europe/Berlin"));

TEST(PdbFileTest, AFailedWriteLeavesTheFileAsItWas) {
  velqor::test_support::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.File("DatebookDB.pdb");
  PdbFile file;
  std::string error;
  ASSERT_TRUE(ParsePdb(SampleFile(), &file, &error));
  ASSERT_TRUE(WritePdbFile(path, file, &error)) << error;
  std::string before;
  ASSERT_TRUE(platform::GetFileSystem().ReadAll(path, &before));

  platform::LocalFileSystem local;
  platform::FaultyFileSystem faulty(&local);
  faulty.Fail("WriteAtomically");
  platform::SetFileSystem(&faulty);
  file.db.records.clear();
  EXPECT_FALSE(WritePdbFile(path, file, &error));
  platform::SetFileSystem(nullptr);
  EXPECT_NE(error.find("unchanged"), std::string::npos);
  std::string after;
  ASSERT_TRUE(platform::GetFileSystem().ReadAll(path, &after));
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace velqor::tools
