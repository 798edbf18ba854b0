// The handheld's database file: one record database in the standard file form that handheld
// backup and install tools exchange. A file read and written back unchanged comes out byte for
// byte as it was: every header field, the sort info block, the bytes between the record list
// and the first block, and each record's bytes are kept as read.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory_handheld.h"

namespace velqor::tools {

inline constexpr uint32_t kPdbHeaderSize = 78;
inline constexpr uint32_t kPdbRecordEntrySize = 8;
inline constexpr uint16_t kPdbAttrResource = 0x0001;
// Seconds from 1 January 1904 to 1 January 1970.
inline constexpr int64_t kPdbEpochOffset = 2082844800;

// What the file holds besides the database itself.
struct PdbLayout {
  std::array<uint8_t, 32> nameField{};  // the name as stored, bytes after its NUL included
  bool hasNameField = false;
  uint32_t nextRecordList = 0;
  std::vector<uint8_t> gap{0, 0};  // between the record list and the first block
};

struct PdbFile {
  platform::HandheldDatabase db;
  PdbLayout layout;
};

// Reads a file's bytes. False, with a message that names the damage, for anything that is not a
// whole record database; nothing beyond the bytes given is ever read.
bool ParsePdb(const std::string& bytes, PdbFile* out, std::string* error);
// The bytes of the file. False with a message when the database cannot be put in the form (a
// name too long, too many records, a file over 4 GiB).
bool SerializePdb(const PdbFile& file, std::string* out, std::string* error);

bool ReadPdbFile(const std::string& path, PdbFile* out, std::string* error);
// Replaces the file atomically; on any failure the file keeps its old content.
bool WritePdbFile(const std::string& path, const PdbFile& file, std::string* error);

// Header times: seconds since 1904 in local time when the top bit is set, else seconds since
// 1970 as some tools write them.
int64_t PdbTimeToUnix(uint32_t stored);
// A time in the form the handheld itself writes (since 1904, local time).
uint32_t UnixToPdbTime(int64_t time);
// A time written in the convention of `like`: since 1970 when `like` is a nonzero value whose top
// bit is clear, else since 1904.
uint32_t UnixToPdbTimeLike(int64_t time, uint32_t like);

uint32_t FourCC(const char* text);       // "date" -> 0x64617465
std::string FourCCText(uint32_t value);  // printable characters, others as '.'

}  // namespace velqor::tools
