#include "platform/classlib.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/testing/test_support.h"

// A class of the tests' own, registered by name like any class of the system.
class ClasslibTestWidget : public CObject {
  VQ_DECLARE_DYNCREATE(ClasslibTestWidget)
 public:
  int value = 7;
};
VQ_IMPLEMENT_DYNCREATE(ClasslibTestWidget, 3)

namespace classlib_test {
namespace {

using velqor::test_support::ReadFile;
using velqor::test_support::ScratchDir;
using velqor::test_support::WriteFile;

int32_t CauseOf(auto&& action) {
  try {
    action();
  } catch (const CException& e) {
    return e.cause();
  }
  return kCauseNone;
}

// ---------------------------------------------------------------------------------------------

TEST(ClasslibRegistryTest, FindsRegisteredClassesByNameAndCreatesThem) {
  const CRuntimeClass* cls = CRuntimeClass::FromName("ClasslibTestWidget");
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls->schema, 3);
  std::unique_ptr<CObject> object(cls->CreateObject());
  auto* widget = dynamic_cast<ClasslibTestWidget*>(object.get());
  ASSERT_NE(widget, nullptr);
  EXPECT_EQ(widget->value, 7);
  EXPECT_EQ(object->GetRuntimeClass(), cls);
  EXPECT_TRUE(object->IsKindOf(cls));
}

TEST(ClasslibRegistryTest, UnknownNamesAndClassesWithoutCreatorGiveNothing) {
  EXPECT_EQ(CRuntimeClass::FromName("NoSuchClass"), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName(""), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName(nullptr), nullptr);
  const CRuntimeClass inert = {"Inert", 1, nullptr};
  EXPECT_EQ(inert.CreateObject(), nullptr);
}

TEST(ClasslibRegistryTest, ObjectDefaultsDoNothingAndEveryObjectIsACObject) {
  CObject plain;
  ClasslibTestWidget widget;
  EXPECT_TRUE(widget.IsKindOf(plain.GetRuntimeClass()));
  EXPECT_FALSE(plain.IsKindOf(&ClasslibTestWidget::kRuntimeClass));
  EXPECT_FALSE(plain.IsKindOf(nullptr));

  // The default Serialize neither reads nor writes: a storing archive over a file stays empty.
  ScratchDir dir;
  CFile file;
  ASSERT_TRUE(file.Open(dir.File("obj"), CFile::modeWrite | CFile::modeCreate, nullptr));
  CArchive archive(&file, CArchive::store);
  widget.Serialize(archive);
  archive.Close();
  EXPECT_EQ(file.GetLength(), 0u);
}

// ---------------------------------------------------------------------------------------------

TEST(ClasslibFileTest, OpenFailuresCarryTheirCause) {
  ScratchDir dir;
  WriteFile(dir.File("plain"), "x");
  ::mkdir(dir.File("sub").c_str(), 0755);
  struct Case {
    std::string path;
    unsigned flags;
    int32_t cause;
  };
  const Case cases[] = {
      {dir.File("missing"), CFile::modeRead, kCauseFileNotFound},
      {dir.File("nodir/file"), CFile::modeWrite | CFile::modeCreate, kCauseFileNotFound},
      {dir.File("plain/below"), CFile::modeRead, kCauseBadPath},
      {dir.File("sub"), CFile::modeRead, kCauseAccessDenied},
      {"", CFile::modeRead, kCauseBadPath},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CFile file;
    int32_t cause = -1;
    EXPECT_FALSE(file.Open(c.path, c.flags, &cause));
    EXPECT_EQ(cause, c.cause);
    EXPECT_FALSE(file.IsOpen());
  }
}

TEST(ClasslibFileTest, WritesReadsAndReportsLength) {
  ScratchDir dir;
  CFile out;
  int32_t cause = -1;
  ASSERT_TRUE(out.Open(dir.File("f"), CFile::modeWrite | CFile::modeCreate, &cause));
  EXPECT_EQ(cause, kCauseNone);
  out.Write("hello world", 11);
  out.Flush();
  EXPECT_EQ(out.GetLength(), 11u);
  out.Close();
  EXPECT_FALSE(out.IsOpen());

  CFile in;
  ASSERT_TRUE(in.Open(dir.File("f"), CFile::modeRead, nullptr));
  char buf[32] = {};
  EXPECT_EQ(in.Read(buf, sizeof buf), 11u);  // short at the end of the file
  EXPECT_EQ(std::string(buf, 11), "hello world");
  EXPECT_EQ(in.Read(buf, sizeof buf), 0u);
  EXPECT_TRUE(CFile::GetStatus(dir.File("f")));
  EXPECT_FALSE(CFile::GetStatus(dir.File("nothing")));
}

TEST(ClasslibFileTest, OperationsOnAClosedFileThrow) {
  CFile file;
  char byte = 0;
  EXPECT_EQ(CauseOf([&] { file.Read(&byte, 1); }), kCauseGeneric);
  EXPECT_EQ(CauseOf([&] { file.Write(&byte, 1); }), kCauseGeneric);
  EXPECT_EQ(CauseOf([&] { file.GetLength(); }), kCauseGeneric);
  EXPECT_EQ(CauseOf([&] { file.Close(); }), kCauseNone);  // closing twice is harmless
}

TEST(ClasslibFileTest, AFullDiskIsReportedAsSuch) {
  CFile file;
  ASSERT_TRUE(file.Open("/dev/full", CFile::modeWrite, nullptr));
  EXPECT_EQ(CauseOf([&] { file.Write("x", 1); }), kCauseDiskFull);
}

TEST(ClasslibFileTest, DenyingWriteKeepsOtherDenyingOpenersOut) {
  ScratchDir dir;
  const std::string path = dir.File("shared");
  WriteFile(path, "data");
  const unsigned rw = CFile::modeReadWrite | CFile::shareDenyWrite;
  const unsigned ro = CFile::modeRead | CFile::shareDenyWrite;
  {
    CFile first, second;
    ASSERT_TRUE(first.Open(path, rw, nullptr));
    int32_t cause = -1;
    EXPECT_FALSE(second.Open(path, rw, &cause));
    EXPECT_EQ(cause, kCauseSharingViolation);
    EXPECT_FALSE(second.Open(path, ro, &cause));
    EXPECT_EQ(cause, kCauseSharingViolation);
    first.Close();
    EXPECT_TRUE(second.Open(path, rw, &cause));
  }
  {
    CFile a, b, writer;
    ASSERT_TRUE(a.Open(path, ro, nullptr));
    EXPECT_TRUE(b.Open(path, ro, nullptr));  // readers share
    int32_t cause = -1;
    EXPECT_FALSE(writer.Open(path, rw, &cause));
    EXPECT_EQ(cause, kCauseSharingViolation);
  }
}

// ---------------------------------------------------------------------------------------------

TEST(ClasslibAtomicFileTest, CommitReplacesTheTargetAndLeavesNothingElse) {
  ScratchDir dir;
  const std::string target = dir.File("data.dat");
  WriteFile(target, "old content");
  CAtomicFile out;
  ASSERT_TRUE(out.Open(target, nullptr));
  out.file().Write("new", 3);
  EXPECT_EQ(ReadFile(target), "old content");  // nothing visible before the commit
  int32_t cause = -1;
  ASSERT_TRUE(out.Commit(&cause));
  EXPECT_EQ(cause, kCauseNone);
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"data.dat"});
  EXPECT_FALSE(out.Commit(&cause));  // once only
}

TEST(ClasslibAtomicFileTest, AnUncommittedWriteLeavesTheTargetAndRemovesItsTemporary) {
  ScratchDir dir;
  const std::string target = dir.File("data.dat");
  WriteFile(target, "old content");
  {
    CAtomicFile out;
    ASSERT_TRUE(out.Open(target, nullptr));
    out.file().Write("partial", 7);
    EXPECT_EQ(dir.Names().size(), 2u);
  }
  EXPECT_EQ(ReadFile(target), "old content");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"data.dat"});
}

TEST(ClasslibAtomicFileTest, ATargetThatCannotBeReplacedFailsWithACause) {
  ScratchDir dir;
  int32_t cause = -1;
  {
    CAtomicFile out;
    EXPECT_FALSE(out.Open(dir.File("missing/data.dat"), &cause));
    EXPECT_EQ(cause, kCauseFileNotFound);
  }
  ::mkdir(dir.File("adir").c_str(), 0755);
  ::mkdir(dir.File("adir/inner").c_str(), 0755);
  {
    CAtomicFile out;
    ASSERT_TRUE(out.Open(dir.File("adir"), &cause));
    out.file().Write("x", 1);
    EXPECT_FALSE(out.Commit(&cause));  // a non-empty directory is not replaced
    EXPECT_NE(cause, kCauseNone);
  }
  EXPECT_TRUE(CFile::GetStatus(dir.File("adir/inner")));
  ::rmdir(dir.File("adir/inner").c_str());
  ::rmdir(dir.File("adir").c_str());
  EXPECT_TRUE(dir.Names().empty());
}

// ---------------------------------------------------------------------------------------------

class ClasslibArchiveTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& bytes) {
    const std::string path = dir_.File("a" + std::to_string(count_++));
    WriteFile(path, bytes);
    return path;
  }
  ScratchDir dir_;
  int count_ = 0;
};

TEST_F(ClasslibArchiveTest, ReadIsShortAtTheEndAndExactReadsThrowThere) {
  CFile file;
  ASSERT_TRUE(file.Open(Make("0123456789"), CFile::modeRead, nullptr));
  CArchive archive(&file, CArchive::load);
  EXPECT_TRUE(archive.IsLoading());
  char buf[16] = {};
  EXPECT_EQ(archive.ReadByte(), '0');
  EXPECT_EQ(archive.Read(buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), "1234");
  EXPECT_EQ(CauseOf([&] { archive.ReadExact(buf, 6); }), kCauseEndOfFile);
  // The failed exact read consumed what was there; the archive is now at the end.
  EXPECT_EQ(archive.Read(buf, sizeof buf), 0u);
  EXPECT_EQ(CauseOf([&] { archive.ReadByte(); }), kCauseEndOfFile);
}

TEST_F(ClasslibArchiveTest, AnEmptyFileReadsNothing) {
  CFile file;
  ASSERT_TRUE(file.Open(Make(""), CFile::modeRead, nullptr));
  CArchive archive(&file, CArchive::load);
  char buf[4];
  EXPECT_EQ(archive.Read(buf, 4), 0u);
  EXPECT_EQ(CauseOf([&] { archive.ReadByte(); }), kCauseEndOfFile);
  EXPECT_EQ(CauseOf([&] { archive.ReadExact(buf, 0); }), kCauseNone);
}

TEST_F(ClasslibArchiveTest, DataCrossingTheBufferComesBackWhole) {
  std::string data;
  for (int i = 0; i < 10000; ++i) data.push_back(static_cast<char>(i * 31 + i / 256));
  const std::string path = dir_.File("big");
  {
    CFile file;
    ASSERT_TRUE(file.Open(path, CFile::modeWrite | CFile::modeCreate, nullptr));
    CArchive archive(&file, CArchive::store);
    archive.Write(data.data(), 3);                                           // small
    archive.Write(data.data() + 3, 5000);                                    // beyond one buffer
    for (size_t i = 5003; i < data.size(); ++i) archive.Write(&data[i], 1);  // byte by byte
    archive.Close();
    file.Close();
  }
  EXPECT_EQ(ReadFile(path), data);

  CFile file;
  ASSERT_TRUE(file.Open(path, CFile::modeRead, nullptr));
  CArchive archive(&file, CArchive::load);
  std::string back;
  char chunk[7];
  uint32_t got;
  while ((got = archive.Read(chunk, sizeof chunk)) > 0) back.append(chunk, got);
  EXPECT_EQ(back, data);
}

TEST_F(ClasslibArchiveTest, OperationsOfTheOtherModeThrowWrongMode) {
  CFile out;
  ASSERT_TRUE(out.Open(dir_.File("w"), CFile::modeWrite | CFile::modeCreate, nullptr));
  CArchive storing(&out, CArchive::store);
  char byte = 0;
  EXPECT_EQ(CauseOf([&] { storing.Read(&byte, 1); }), kCauseWrongMode);
  EXPECT_EQ(CauseOf([&] { storing.ReadByte(); }), kCauseWrongMode);
  EXPECT_EQ(CauseOf([&] { storing.ReadExact(&byte, 1); }), kCauseWrongMode);

  CFile in;
  ASSERT_TRUE(in.Open(Make("abc"), CFile::modeRead, nullptr));
  CArchive loading(&in, CArchive::load);
  EXPECT_EQ(CauseOf([&] { loading.Write("x", 1); }), kCauseWrongMode);
  EXPECT_EQ(CauseOf([&] { loading.WriteString("x"); }), kCauseWrongMode);
}

TEST_F(ClasslibArchiveTest, DestroyingAStoringArchiveWritesNothing) {
  const std::string path = dir_.File("unflushed");
  CFile file;
  ASSERT_TRUE(file.Open(path, CFile::modeWrite | CFile::modeCreate, nullptr));
  {
    CArchive archive(&file, CArchive::store);
    archive.WriteString("never written");
  }
  file.Close();
  EXPECT_EQ(ReadFile(path), "");
}

TEST_F(ClasslibArchiveTest, AFailedFlushThrowsOnceAndTheDestructorStaysQuiet) {
  CFile file;
  ASSERT_TRUE(file.Open("/dev/full", CFile::modeWrite, nullptr));
  {
    CArchive archive(&file, CArchive::store);
    archive.WriteString("data");
    EXPECT_EQ(CauseOf([&] { archive.Flush(); }), kCauseDiskFull);
    EXPECT_EQ(CauseOf([&] { archive.Close(); }), kCauseNone);  // nothing left to write
  }
  {
    CArchive archive(&file, CArchive::store);
    archive.WriteString("more");
    EXPECT_EQ(CauseOf([&] { archive.Close(); }), kCauseDiskFull);
    // Closed by the failure: later writes are refused instead of reaching a stale file.
    EXPECT_NE(CauseOf([&] { archive.WriteString("x"); }), kCauseNone);
  }
}

TEST_F(ClasslibArchiveTest, AClosedOrAbortedArchiveRefusesWork) {
  CFile in;
  ASSERT_TRUE(in.Open(Make("abc"), CFile::modeRead, nullptr));
  CArchive archive(&in, CArchive::load);
  archive.Abort();
  EXPECT_EQ(archive.GetFile(), nullptr);
  char byte;
  EXPECT_EQ(CauseOf([&] { archive.Read(&byte, 1); }), kCauseGeneric);
}

}  // namespace
}  // namespace classlib_test
