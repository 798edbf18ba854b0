#include "platform/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/testing/test_support.h"

namespace velqor::platform {
namespace {

const char kKey[] = "Software\\Velqor\\Date Book";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { root = RegisterSettingsRoot(&store); }
  void TearDown() override { UnregisterSettingsRoot(root); }

  HKEY Open(uint32_t access, const char* path = kKey) {
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyExA(root, path, 0, access, &key), kRegOk);
    return key;
  }

  MemorySettingsStore store;
  HKEY root = 0;
};

TEST_F(RegistryTest, ValueLargerThanTheBufferIsNotReadAtAll) {
  std::string path(199, 'p');
  store.SetText(kKey, "DriverPath", path);  // 200 bytes with its NUL
  HKEY key = Open(kRegAccessQuery);
  struct Case {
    uint32_t bufferSize;
    int32_t status;
  };
  for (const Case& c :
       {Case{200, kRegOk}, Case{199, kRegMoreData}, Case{0, kRegMoreData}, Case{4096, kRegOk}}) {
    SCOPED_TRACE(c.bufferSize);
    std::vector<uint8_t> buffer(c.bufferSize + 8, 0xCC);
    uint32_t size = c.bufferSize;
    uint32_t type = 99;
    EXPECT_EQ(RegQueryValueExA(key, "DriverPath", nullptr, &type, buffer.data(), &size), c.status);
    EXPECT_EQ(size, 200u);  // the size the value needs, either way
    if (c.status == kRegOk) {
      EXPECT_EQ(type, kRegTypeText);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data())), path);
      EXPECT_EQ(buffer[199], 0);
      EXPECT_EQ(buffer[200], 0xCC);
    } else {
      for (uint8_t b : buffer) ASSERT_EQ(b, 0xCC);  // no partial copy
    }
  }
  EXPECT_EQ(RegCloseKey(key), kRegOk);
}

TEST_F(RegistryTest, TextsCarryTheirNulAndNumbersAreLittleEndian) {
  EXPECT_EQ(TextValue("jdoe").data, (std::vector<uint8_t>{'j', 'd', 'o', 'e', 0}));
  EXPECT_EQ(TextValue("").data, std::vector<uint8_t>{0});
  EXPECT_EQ(NumberValue(0x01020304).data, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(NumberValue(30).type, kRegTypeNumber);

  store.SetNumber(kKey, "NumDays", 30);
  HKEY key = Open(kRegAccessQuery);
  int32_t days = 0;
  uint32_t size = sizeof days;
  ASSERT_EQ(
      RegQueryValueExA(key, "NumDays", nullptr, nullptr, reinterpret_cast<uint8_t*>(&days), &size),
      kRegOk);
  EXPECT_EQ(days, 30);
  EXPECT_EQ(size, 4u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, SetThenQueryKeepsTypeAndBytes) {
  ASSERT_TRUE(store.CreateKey(kKey));
  HKEY key = Open(kRegAccessQuery | kRegAccessSet);
  const uint8_t blob[] = {0, 1, 0xFF, 0};
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, kRegTypeBinary, blob, sizeof blob), kRegOk);
  ASSERT_EQ(RegSetValueExA(key, "Install", 0, kRegTypeText, nullptr, 0), kRegOk);
  uint8_t out[8] = {};
  uint32_t size = sizeof out;
  uint32_t type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, out, &size), kRegOk);
  EXPECT_EQ(type, kRegTypeBinary);
  EXPECT_EQ(std::vector<uint8_t>(out, out + size), std::vector<uint8_t>(blob, blob + 4));
  // A value stored with no data bytes reads as zero bytes.
  size = sizeof out;
  ASSERT_EQ(RegQueryValueExA(key, "Install", nullptr, &type, out, &size), kRegOk);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, kRegTypeText);
  // Asking for the size only.
  size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, nullptr, &size), kRegOk);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, out, nullptr), kRegBadArgument);
  RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeyFailsAndIsNotCreated) {
  HKEY key = 1234;
  EXPECT_EQ(RegOpenKeyExA(root, kKey, 0, kRegAccessQuery, &key), kRegNotFound);
  EXPECT_EQ(key, 0u);
  EXPECT_FALSE(store.KeyExists(kKey));
  EXPECT_FALSE(store.KeyExists("Software"));
  EXPECT_TRUE(store.List(kKey).empty());
}

TEST_F(RegistryTest, KeyPathsAreFoundUnderEverySpellingAndParentsExist) {
  store.SetNumber(kKey, "UserMode", 1);
  EXPECT_TRUE(store.KeyExists("Software\\Velqor"));
  for (const char* spelling :
       {"Software\\Velqor\\Date Book", "\\Software\\\\Velqor\\Date Book\\"}) {
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyExA(root, spelling, 0, kRegAccessQuery, &key), kRegOk) << spelling;
    RegCloseKey(key);
  }
  // Step by step from an opened parent.
  HKEY parent = Open(kRegAccessQuery, "Software\\Velqor");
  HKEY child = 0;
  ASSERT_EQ(RegOpenKeyExA(parent, "Date Book", 0, kRegAccessQuery, &child), kRegOk);
  uint32_t mode = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(child, "UserMode", nullptr, nullptr, reinterpret_cast<uint8_t*>(&mode),
                             &size),
            kRegOk);
  EXPECT_EQ(mode, 1u);
  RegCloseKey(child);
  RegCloseKey(parent);
}

TEST_F(RegistryTest, OpenedKeyRemembersItsAccessRights) {
  store.SetNumber(kKey, "FlushBackup", 1);
  const uint8_t zero[4] = {};
  uint8_t out[4];
  struct Case {
    uint32_t access;
    int32_t query;
    int32_t set;
  };
  const Case cases[] = {
      {kRegAccessQuery, kRegOk, kRegAccessDenied},
      {kRegAccessSet, kRegAccessDenied, kRegOk},
      {kRegAccessQuery | kRegAccessSet, kRegOk, kRegOk},
      {0, kRegAccessDenied, kRegAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.access);
    store.SetNumber(kKey, "FlushBackup", 1);
    HKEY key = Open(c.access);
    uint32_t size = sizeof out;
    EXPECT_EQ(RegQueryValueExA(key, "FlushBackup", nullptr, nullptr, out, &size), c.query);
    EXPECT_EQ(RegSetValueExA(key, "FlushBackup", 0, kRegTypeNumber, zero, 4), c.set);
    EXPECT_EQ(store.Get(kKey, "FlushBackup")->data,
              c.set == kRegOk ? NumberValue(0).data : NumberValue(1).data);
    RegCloseKey(key);
  }
}

TEST_F(RegistryTest, RefusedWritesAndRefusedKeys) {
  store.SetText(kKey, "Install", "pkg");
  store.RefuseWrites("Install");
  HKEY key = Open(kRegAccessSet | kRegAccessQuery);
  EXPECT_EQ(RegSetValueExA(key, "Install", 0, kRegTypeText, nullptr, 0), kRegWriteFailed);
  EXPECT_EQ(store.Get(kKey, "Install")->data, TextValue("pkg").data);
  EXPECT_EQ(RegSetValueExA(key, "FlushBackup", 0, kRegTypeNumber, NumberValue(0).data.data(), 4),
            kRegOk);
  RegCloseKey(key);

  store.RefuseOpen(kKey);
  HKEY refused = 77;
  EXPECT_EQ(RegOpenKeyExA(root, kKey, 0, kRegAccessQuery, &refused), kRegAccessDenied);
  EXPECT_EQ(refused, 0u);
}

TEST_F(RegistryTest, HandlesAndArguments) {
  store.SetNumber(kKey, "NumDays", 7);
  HKEY key = Open(kRegAccessQuery);
  uint8_t out[4];
  uint32_t size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, out, &size), kRegNotFound);
  EXPECT_EQ(RegOpenKeyExA(root, kKey, 0, kRegAccessQuery, nullptr), kRegBadArgument);
  EXPECT_EQ(RegCloseKey(key), kRegOk);
  EXPECT_EQ(RegCloseKey(key), kRegBadHandle);
  EXPECT_EQ(RegQueryValueExA(key, "NumDays", nullptr, nullptr, out, &size), kRegBadHandle);
  HKEY other = 0;
  EXPECT_EQ(RegOpenKeyExA(key, "x", 0, kRegAccessQuery, &other), kRegBadHandle);
  EXPECT_EQ(RegOpenKeyExA(0, kKey, 0, kRegAccessQuery, &other), kRegBadHandle);

  // Closing a root leaves it usable; unregistering it ends every key opened under it.
  EXPECT_EQ(RegCloseKey(root), kRegOk);
  HKEY again = Open(kRegAccessQuery);
  UnregisterSettingsRoot(root);
  EXPECT_EQ(RegQueryValueExA(again, "NumDays", nullptr, nullptr, out, &size), kRegBadHandle);
  EXPECT_EQ(RegOpenKeyExA(root, kKey, 0, kRegAccessQuery, &other), kRegBadHandle);
  root = RegisterSettingsRoot(&store);
}

// ---- The file store ----

class FileSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.ok());
    dir = scratch.path();
    path = scratch.File("settings.txt");
  }

  std::string ReadFile() { return velqor::test_support::ReadFile(path); }
  void WriteFile(const std::string& text) { velqor::test_support::WriteFile(path, text); }
  size_t FilesInDir() { return scratch.Names().size(); }

  velqor::test_support::ScratchDir scratch;
  std::string dir, path;
};

SettingsValue Value(uint32_t type, std::vector<uint8_t> data) {
  SettingsValue v;
  v.type = type;
  v.data = std::move(data);
  return v;
}

bool SameValues(const std::map<std::string, SettingsValue>& a,
                const std::map<std::string, SettingsValue>& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [name, v] : a) {
    auto it = b.find(name);
    if (it == b.end() || it->second.type != v.type || it->second.data != v.data) return false;
  }
  return true;
}

TEST_F(FileSettingsTest, MissingFileIsAnEmptyStore) {
  FileSettingsStore store(path);
  std::string error;
  ASSERT_TRUE(store.Load(&error)) << error;
  EXPECT_FALSE(store.KeyExists(kKey));
  EXPECT_FALSE(std::filesystem::exists(path));  // loading writes nothing
}

TEST_F(FileSettingsTest, EveryNameAndByteSurvivesARoundTrip) {
  std::vector<uint8_t> allBytes;
  for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<uint8_t>(i));
  const std::string oddKey = std::string("Odd \"key\"\\with\ttab\x01\xff");
  const std::map<std::string, SettingsValue> values = {
      {"NumDays", NumberValue(0xFFFFFFFF)},
      {"UserID", TextValue("jdoe")},
      {"Install", Value(kRegTypeText, {})},
      {"Blob", Value(kRegTypeBinary, allBytes)},
      {"Odd", Value(7, {'"', '\\', '\n', 'x'})},
      {"ShortNumber", Value(kRegTypeNumber, {1, 2, 3})},
      {"", TextValue("default value")},
      {"name \"quoted\" \\ \n\r\x7f\x80 end", TextValue("\x01\x02")},
  };
  {
    FileSettingsStore store(path);
    ASSERT_TRUE(store.Load(nullptr));
    for (const auto& [name, v] : values) ASSERT_TRUE(store.Set(kKey, name, v)) << name;
    ASSERT_TRUE(store.Set(oddKey, "x", NumberValue(1)));
    ASSERT_TRUE(store.CreateKey("Empty\\Key"));
  }
  FileSettingsStore loaded(path);
  std::string error;
  ASSERT_TRUE(loaded.Load(&error)) << error;
  EXPECT_TRUE(SameValues(loaded.List(kKey), values));
  EXPECT_TRUE(SameValues(loaded.List(oddKey), {{"x", NumberValue(1)}}));
  EXPECT_TRUE(loaded.KeyExists("Empty\\Key"));
  EXPECT_TRUE(loaded.KeyExists("Software\\Velqor"));

  // A person can read it.
  std::string text = ReadFile();
  EXPECT_NE(text.find("\"NumDays\" number 4294967295"), std::string::npos) << text;
  EXPECT_NE(text.find("\"UserID\" text \"jdoe\\x00\""), std::string::npos) << text;
  for (unsigned char c : text) {
    ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "raw byte " << int{c} << " in the file";
  }
}

TEST_F(FileSettingsTest, RemoveAndRewriteOnEveryChange) {
  FileSettingsStore store(path);
  ASSERT_TRUE(store.Load(nullptr));
  ASSERT_TRUE(store.Set(kKey, "A", NumberValue(1)));
  ASSERT_TRUE(store.Set(kKey, "B", NumberValue(2)));
  ASSERT_TRUE(store.Remove(kKey, "A"));
  EXPECT_FALSE(store.Remove(kKey, "A"));
  EXPECT_FALSE(store.Remove("No\\Such", "B"));
  FileSettingsStore loaded(path);
  ASSERT_TRUE(loaded.Load(nullptr));
  EXPECT_TRUE(SameValues(loaded.List(kKey), {{"B", NumberValue(2)}}));
  EXPECT_EQ(FilesInDir(), 1u);  // no temporary file left behind
}

TEST_F(FileSettingsTest, DamagedFilesAreReportedWithTheirLine) {
  const std::string head = "velqor-settings 1\n";
  struct Case {
    const char* what;
    std::string text;
    const char* reason;  // part of the error message
  };
  const Case cases[] = {
      {"empty file", "", "empty"},
      {"wrong first line", "settings\nkey \"A\"\n", "line 1"},
      {"value before a key", head + "\"A\" number 1\n", "line 2"},
      {"unknown form", head + "key \"A\"\n\"V\" float 1.5\n", "line 3"},
      {"unclosed quote", head + "key \"A\n", "not closed"},
      {"bad escape", head + "key \"A\"\n\"V\" text \"\\q\"\n", "escape"},
      {"short hex escape", head + "key \"A\"\n\"V\" text \"\\x4\"\n", "hex"},
      {"number too large", head + "key \"A\"\n\"V\" number 4294967296\n", "too large"},
      {"not a number", head + "key \"A\"\n\"V\" number -1\n", "not a number"},
      {"value listed twice", head + "key \"A\"\n\"V\" number 1\n\"V\" number 2\n", "twice"},
      {"key listed twice", head + "key \"A\"\nkey \"A\"\n", "twice"},
      {"trailing text", head + "key \"A\"\n\"V\" number 1 2\n", "line 3"},
      {"type without data", head + "key \"A\"\n\"V\" type 7\n", "line 3"},
      {"stray word", head + "keys \"A\"\n", "line 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileSettingsStore store(path);
    WriteFile(head + "key \"Kept\"\n\"K\" number 5\n");
    ASSERT_TRUE(store.Load(nullptr));
    WriteFile(c.text);
    std::string error;
    EXPECT_FALSE(store.Load(&error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_NE(error.find(path), std::string::npos) << error;
    // The store keeps what it had.
    EXPECT_TRUE(SameValues(store.List("Kept"), {{"K", NumberValue(5)}}));
  }
}

TEST_F(FileSettingsTest, WhatIsNotARegularFileIsRefusedWithoutBeingRead) {
  FileSettingsStore store(path);
  WriteFile("velqor-settings 1\nkey \"Kept\"\n\"K\" number 5\n");
  ASSERT_TRUE(store.Load(nullptr));
  std::filesystem::remove(path);
  ASSERT_TRUE(std::filesystem::create_directory(path));
  std::string error;
  EXPECT_FALSE(store.Load(&error));
  EXPECT_EQ(error, "cannot read " + path + ": not a regular file");
  std::filesystem::remove(path);
  // A pipe would give whatever a writer sends, or wait for one forever.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  bool loaded = true;
  error.clear();
  EXPECT_TRUE(
      velqor::test_support::ReturnsWithoutAWriter(path, [&] { loaded = store.Load(&error); }));
  EXPECT_FALSE(loaded);
  EXPECT_EQ(error, "cannot read " + path + ": not a regular file");
  EXPECT_TRUE(SameValues(store.List("Kept"), {{"K", NumberValue(5)}}));
}

TEST_F(FileSettingsTest, CommentsBlankLinesAndLineEndingsAreAccepted) {
  WriteFile("velqor-settings 1\r\n# comment\r\n\r\nkey \"A\"\r\n   \"V\" binary \"\\x00\\\"\"\r\n");
  FileSettingsStore store(path);
  std::string error;
  ASSERT_TRUE(store.Load(&error)) << error;
  EXPECT_TRUE(SameValues(store.List("A"), {{"V", Value(kRegTypeBinary, {0, '"'})}}));
}

TEST_F(FileSettingsTest, FailedWriteKeepsTheStoreAndTheFile) {
  // The store's directory is replaced by a regular file, so nothing can be written beside it.
  FileSettingsStore store(path);
  ASSERT_TRUE(store.Load(nullptr));
  ASSERT_TRUE(store.Set(kKey, "NumDays", NumberValue(30)));
  std::string before = ReadFile();

  std::filesystem::rename(dir, dir + ".moved");
  { std::ofstream blocker(dir); }
  EXPECT_FALSE(store.Set(kKey, "NumDays", NumberValue(60)));
  EXPECT_FALSE(store.Set(kKey, "Other", NumberValue(1)));
  EXPECT_FALSE(store.Remove(kKey, "NumDays"));
  EXPECT_FALSE(store.CreateKey("New"));
  EXPECT_TRUE(SameValues(store.List(kKey), {{"NumDays", NumberValue(30)}}));
  EXPECT_FALSE(store.KeyExists("New"));
  std::filesystem::remove(dir);
  std::filesystem::rename(dir + ".moved", dir);
  EXPECT_EQ(ReadFile(), before);
}

TEST_F(FileSettingsTest, RegistryFunctionsOverTheFileStore) {
  FileSettingsStore store(path);
  ASSERT_TRUE(store.Load(nullptr));
  ASSERT_TRUE(store.Set(kKey, "FlushBackup", NumberValue(1)));
  HKEY root = RegisterSettingsRoot(&store);
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(root, kKey, 0, kRegAccessSet, &key), kRegOk);
  ASSERT_EQ(RegSetValueExA(key, "FlushBackup", 0, kRegTypeNumber, NumberValue(0).data.data(), 4),
            kRegOk);
  RegCloseKey(key);
  UnregisterSettingsRoot(root);
  FileSettingsStore reread(path);
  ASSERT_TRUE(reread.Load(nullptr));
  EXPECT_EQ(reread.Get(kKey, "FlushBackup")->data, NumberValue(0).data);
}

}  // namespace
}  // namespace velqor::platform
