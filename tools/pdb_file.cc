#include "tools/pdb_file.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/files.h"

namespace velqor::tools {
namespace {

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Get24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void Put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v >> 8));
  s.push_back(static_cast<char>(v));
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, static_cast<uint16_t>(v >> 16));
  Put16(s, static_cast<uint16_t>(v));
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*m <= 2));
}

struct Block {
  uint32_t offset;
  int order;  // -2 app info, -1 sort info, else the record index
};

}  // namespace

uint32_t FourCC(const char* text) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(text[i]);
  return v;
}

std::string FourCCText(uint32_t value) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) {
    char c = static_cast<char>(value >> shift);
    s.push_back(c >= 0x20 && c < 0x7F ? c : '.');
  }
  return s;
}

int64_t PdbTimeToUnix(uint32_t stored) {
  if ((stored & 0x80000000u) == 0) return stored;
  // A local wall-clock count: take its fields and let the platform place them in time.
  const int64_t naive = static_cast<int64_t>(stored) - kPdbEpochOffset;
  int64_t days = naive >= 0 ? naive / 86400 : -((-naive + 86399) / 86400);
  int64_t secs = naive - days * 86400;
  int y, m, d;
  CivilFromDays(days, &y, &m, &d);
  int64_t t = 0;
  if (!platform::MakeLocalTime(y, m, d, static_cast<int>(secs / 3600),
                               static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60), &t)) {
    return naive;
  }
  return t;
}

uint32_t UnixToPdbTime(int64_t time) {
  platform::LocalTime lt{};
  if (!platform::BreakDownLocal(time, &lt)) return 0;
  const int64_t naive =
      DaysFromCivil(lt.year, static_cast<unsigned>(lt.month), static_cast<unsigned>(lt.day)) *
          86400 +
      lt.hour * 3600 + lt.minute * 60 + lt.second;
  const int64_t stored = naive + kPdbEpochOffset;
  if (stored < 0 || stored > 0xFFFFFFFFll) return 0;
  return static_cast<uint32_t>(stored);
}

uint32_t UnixToPdbTimeLike(int64_t time, uint32_t like) {
  if (like != 0 && (like & 0x80000000u) == 0) {
    return time < 0 || time > 0x7FFFFFFF ? 0 : static_cast<uint32_t>(time);
  }
  return UnixToPdbTime(time);
}

bool ParsePdb(const std::string& bytes, PdbFile* out, std::string* error) {
  const size_t size = bytes.size();
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (size < kPdbHeaderSize) {
    *error = "too short for a database header (" + std::to_string(size) + " of " +
             std::to_string(kPdbHeaderSize) + " bytes)";
    return false;
  }
  PdbFile file;
  platform::HandheldDatabase& db = file.db;
  const void* nul = std::memchr(p, 0, 32);
  if (nul == nullptr) {
    *error = "the database name is not terminated within its 32 bytes";
    return false;
  }
  db.name.assign(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(nul) - p);
  std::copy(p, p + 32, file.layout.nameField.begin());
  file.layout.hasNameField = true;
  db.flags = Get16(p + 32);
  if (db.flags & kPdbAttrResource) {
    *error = "it is a resource database; only record databases are kept on this handheld";
    return false;
  }
  db.version = Get16(p + 34);
  db.creationTime = Get32(p + 36);
  db.modificationTime = Get32(p + 40);
  db.backupTime = Get32(p + 44);
  db.modificationNumber = Get32(p + 48);
  const uint32_t appInfoOffset = Get32(p + 52);
  const uint32_t sortInfoOffset = Get32(p + 56);
  db.type = Get32(p + 60);
  db.creator = Get32(p + 64);
  db.uniqueIdSeed = Get32(p + 68);
  file.layout.nextRecordList = Get32(p + 72);
  const uint32_t count = Get16(p + 76);
  const uint64_t listEnd = kPdbHeaderSize + static_cast<uint64_t>(count) * kPdbRecordEntrySize;
  if (listEnd > size) {
    *error = "the record list of " + std::to_string(count) + " records runs past the end of the " +
             std::to_string(size) + "-byte file";
    return false;
  }

  std::vector<Block> blocks;
  auto checkOffset = [&](uint32_t offset, const std::string& what) {
    if (offset < listEnd || offset > size) {
      *error = what + " starts at offset " + std::to_string(offset) + ", outside the data area (" +
               std::to_string(listEnd) + " to " + std::to_string(size) + ")";
      return false;
    }
    return true;
  };
  if (appInfoOffset != 0) {
    if (!checkOffset(appInfoOffset, "the application info block")) return false;
    blocks.push_back({appInfoOffset, -2});
  }
  if (sortInfoOffset != 0) {
    if (!checkOffset(sortInfoOffset, "the sort info block")) return false;
    blocks.push_back({sortInfoOffset, -1});
  }
  db.records.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = p + kPdbHeaderSize + i * kPdbRecordEntrySize;
    const uint32_t offset = Get32(e);
    if (!checkOffset(offset, "record " + std::to_string(i))) return false;
    blocks.push_back({offset, static_cast<int>(i)});
    platform::HandheldRecord& r = db.records[i];
    const uint8_t attr = e[4];
    r.id = Get24(e + 5);
    if (attr & (kAttrDeleted | kAttrBusy)) {
      // The low bits are no category here; 0x08 among them asks for archiving.
      r.attributes = attr;
      r.category = 0;
    } else {
      r.attributes = attr & 0xF0;
      r.category = attr & 0x0F;
    }
  }

  // Each block runs up to the next offset in the file; equal offsets give empty blocks.
  std::stable_sort(blocks.begin(), blocks.end(),
                   [](const Block& a, const Block& b) { return a.offset < b.offset; });
  const uint32_t dataStart = blocks.empty() ? static_cast<uint32_t>(size) : blocks.front().offset;
  file.layout.gap.assign(p + listEnd, p + dataStart);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const uint32_t begin = blocks[i].offset;
    const uint32_t end = i + 1 < blocks.size() ? blocks[i + 1].offset : static_cast<uint32_t>(size);
    std::vector<uint8_t> data(p + begin, p + end);
    if (blocks[i].order == -2) {
      db.hasAppInfo = true;
      db.appInfo = std::move(data);
    } else if (blocks[i].order == -1) {
      db.hasSortInfo = true;
      db.sortInfo = std::move(data);
    } else {
      db.records[static_cast<size_t>(blocks[i].order)].data = std::move(data);
    }
  }
  *out = std::move(file);
  return true;
}

bool SerializePdb(const PdbFile& file, std::string* out, std::string* error) {
  const platform::HandheldDatabase& db = file.db;
  if (db.name.size() > 31 || db.name.find('\0') != std::string::npos) {
    *error = "the database name '" + db.name + "' does not fit the 31 characters of the form";
    return false;
  }
  if (db.records.size() > 0xFFFF) {
    *error = "the database holds " + std::to_string(db.records.size()) +
             " records, more than the form can list";
    return false;
  }
  uint64_t total =
      kPdbHeaderSize + db.records.size() * kPdbRecordEntrySize + file.layout.gap.size();
  if (db.hasAppInfo) total += db.appInfo.size();
  if (db.hasSortInfo) total += db.sortInfo.size();
  for (const auto& r : db.records) total += r.data.size();
  if (total > 0xFFFFFFFFull) {
    *error = "the database does not fit a file of 4 GiB";
    return false;
  }

  std::string s;
  s.reserve(static_cast<size_t>(total));
  std::array<uint8_t, 32> name{};
  const std::string storedName(
      reinterpret_cast<const char*>(file.layout.nameField.data()),
      strnlen(reinterpret_cast<const char*>(file.layout.nameField.data()), 32));
  if (file.layout.hasNameField && storedName == db.name) {
    name = file.layout.nameField;
  } else {
    std::copy(db.name.begin(), db.name.end(), name.begin());
  }
  s.append(reinterpret_cast<const char*>(name.data()), name.size());
  Put16(s, db.flags);
  Put16(s, db.version);
  Put32(s, db.creationTime);
  Put32(s, db.modificationTime);
  Put32(s, db.backupTime);
  Put32(s, db.modificationNumber);
  uint32_t pos = static_cast<uint32_t>(kPdbHeaderSize + db.records.size() * kPdbRecordEntrySize +
                                       file.layout.gap.size());
  const uint32_t appInfoOffset = db.hasAppInfo ? pos : 0;
  if (db.hasAppInfo) pos += static_cast<uint32_t>(db.appInfo.size());
  const uint32_t sortInfoOffset = db.hasSortInfo ? pos : 0;
  if (db.hasSortInfo) pos += static_cast<uint32_t>(db.sortInfo.size());
  Put32(s, appInfoOffset);
  Put32(s, sortInfoOffset);
  Put32(s, db.type);
  Put32(s, db.creator);
  Put32(s, db.uniqueIdSeed);
  Put32(s, file.layout.nextRecordList);
  Put16(s, static_cast<uint16_t>(db.records.size()));
  for (const auto& r : db.records) {
    Put32(s, pos);
    pos += static_cast<uint32_t>(r.data.size());
    uint8_t attr = r.attributes;
    if (!(attr & (kAttrDeleted | kAttrBusy))) {
      attr = static_cast<uint8_t>((attr & 0xF0) | (r.category & 0x0F));
    }
    s.push_back(static_cast<char>(attr));
    s.push_back(static_cast<char>(r.id >> 16));
    s.push_back(static_cast<char>(r.id >> 8));
    s.push_back(static_cast<char>(r.id));
  }
  s.append(file.layout.gap.begin(), file.layout.gap.end());
  if (db.hasAppInfo) s.append(db.appInfo.begin(), db.appInfo.end());
  if (db.hasSortInfo) s.append(db.sortInfo.begin(), db.sortInfo.end());
  for (const auto& r : db.records) s.append(r.data.begin(), r.data.end());
  *out = std::move(s);
  return true;
}

bool ReadPdbFile(const std::string& path, PdbFile* out, std::string* error) {
  std::string bytes;
  if (!platform::GetFileSystem().ReadAll(path, &bytes)) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string why;
  if (!ParsePdb(bytes, out, &why)) {
    *error = path + ": damaged database file: " + why;
    return false;
  }
  return true;
}

bool WritePdbFile(const std::string& path, const PdbFile& file, std::string* error) {
  std::string bytes;
  std::string why;
  if (!SerializePdb(file, &bytes, &why)) {
    *error = path + ": " + why;
    return false;
  }
  if (!platform::GetFileSystem().WriteAtomically(path, bytes)) {
    *error = path + ": cannot be written (the previous file is unchanged)";
    return false;
  }
  return true;
}

}  // namespace velqor::tools
