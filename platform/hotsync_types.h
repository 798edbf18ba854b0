// Records that cross the interface between HotSync Manager, its libraries and a conduit.
// Their sizes and offsets are part of that interface and never change; every 32-bit pointer
// slot holds a handle from the pointer table (handles.h), since this build is 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>

// Status codes of the Sync Manager that callers test.
inline constexpr int32_t kSyncErrNotFound = 16387;  // no such database, no more records
inline constexpr int32_t kSyncErrNonFatalA = 16403;
inline constexpr int32_t kSyncErrNonFatalB = 16404;
inline constexpr int32_t kSyncErrCommBit = 0x2000;  // set in every communication error
// Codes this layer answers with on its own.
inline constexpr int32_t kSyncErrBadArgument = 16386;
inline constexpr int32_t kSyncErrNoLink = kSyncErrCommBit | 0x0001;  // no handheld connected
inline constexpr int32_t kSyncErrTooBig = 16400;    // record or block does not fit
inline constexpr int32_t kSyncErrDbExists = 16401;  // create of a database that exists
inline constexpr int32_t kSyncErrFull = 16402;      // no room for another record ID
inline constexpr int32_t kSyncErrTooManyOpen = 16405;  // every database handle is in use

// Attribute bits of a handheld record.
inline constexpr uint8_t kAttrDeleted = 0x80;
inline constexpr uint8_t kAttrDirty = 0x40;
inline constexpr uint8_t kAttrBusy = 0x20;
inline constexpr uint8_t kAttrPrivate = 0x10;
inline constexpr uint8_t kAttrArchive = 0x08;

inline constexpr int32_t kOpenModeReadWrite = 224;  // the mode conduits open databases with

#pragma pack(push, 1)

struct ConduitProperties {
  int32_t syncType;             // 0
  char directory[256];          // 4, ends in a path separator
  char localFileName[256];      // 260
  char userName[256];           // 516
  uint32_t databaseNames[34];   // 772, pointer slots to NUL-terminated names
  uint32_t creator;             // 908
  uint8_t creationByte;         // 912
  uint8_t reserved913;          // 913
  uint32_t creationValue;       // 914
  uint8_t reserved918[8];       // 918
  int32_t firstSyncIndicator;   // 926
  uint8_t reserved930[4];       // 930
  char settingsKeyPath[256];    // 934
  uint32_t settingsRootKey;     // 1190, an open settings key handle
  uint8_t reserved1194[4];      // 1194
};
static_assert(sizeof(ConduitProperties) == 1198);
static_assert(offsetof(ConduitProperties, directory) == 4);
static_assert(offsetof(ConduitProperties, localFileName) == 260);
static_assert(offsetof(ConduitProperties, userName) == 516);
static_assert(offsetof(ConduitProperties, databaseNames) == 772);
static_assert(offsetof(ConduitProperties, creator) == 908);
static_assert(offsetof(ConduitProperties, creationByte) == 912);
static_assert(offsetof(ConduitProperties, creationValue) == 914);
static_assert(offsetof(ConduitProperties, firstSyncIndicator) == 926);
static_assert(offsetof(ConduitProperties, settingsKeyPath) == 934);
static_assert(offsetof(ConduitProperties, settingsRootKey) == 1190);

struct ConduitConfiguration {
  uint8_t reserved0[516];  // HotSync Manager's own fields
  int32_t preferenceScope;  // 516: 0 on entry, 1 all synchronizations, 2 the next one
  int32_t syncType;         // 520
};
static_assert(sizeof(ConduitConfiguration) == 524);
static_assert(offsetof(ConduitConfiguration, preferenceScope) == 516);
static_assert(offsetof(ConduitConfiguration, syncType) == 520);

struct RawRecord {
  uint8_t dbHandle;     // 0
  uint32_t recordId;    // 1, 0 on a write creates a record
  uint16_t recordIndex; // 5
  uint8_t attributes;   // 7
  int16_t categoryId;   // 8
  uint32_t reserved10;  // 10
  uint32_t size;        // 14, number of data bytes
  uint16_t capacity;    // 18, size of the data buffer
  uint32_t buffer;      // 20, pointer slot of the data buffer
  uint32_t reserved24;  // 24
};
static_assert(sizeof(RawRecord) == 28);
static_assert(offsetof(RawRecord, recordId) == 1);
static_assert(offsetof(RawRecord, recordIndex) == 5);
static_assert(offsetof(RawRecord, attributes) == 7);
static_assert(offsetof(RawRecord, categoryId) == 8);
static_assert(offsetof(RawRecord, size) == 14);
static_assert(offsetof(RawRecord, capacity) == 18);
static_assert(offsetof(RawRecord, buffer) == 20);

struct CategoryBlockRecord {
  char databaseName[32];  // 0
  uint16_t bufferSize;    // 32, the capacity of the block buffer
  uint16_t blockSize;     // 34, 0 in a request; the number of bytes read is left here
  uint32_t buffer;        // 36, pointer slot of the block buffer
  uint32_t reserved40;    // 40
};
static_assert(sizeof(CategoryBlockRecord) == 44);
static_assert(offsetof(CategoryBlockRecord, bufferSize) == 32);
static_assert(offsetof(CategoryBlockRecord, blockSize) == 34);
static_assert(offsetof(CategoryBlockRecord, buffer) == 36);

struct HandheldSystemInfo {
  uint8_t reserved0[3];    // 0
  uint8_t majorVersion;    // 3, the high byte of the version number at offset 0
  uint8_t minorVersion;    // 4
  uint8_t reserved5[4];    // 5
  uint8_t textCapacity;    // 9, 255
  uint32_t textBuffer;     // 10, pointer slot of the product text buffer
  uint8_t reserved14[4];   // 14
};
static_assert(sizeof(HandheldSystemInfo) == 18);
static_assert(offsetof(HandheldSystemInfo, majorVersion) == 3);
static_assert(offsetof(HandheldSystemInfo, textCapacity) == 9);
static_assert(offsetof(HandheldSystemInfo, textBuffer) == 10);

struct DatabaseCreateInfo {
  uint8_t dbHandle;       // 0, written by HhCreateDatabase
  uint32_t creator;       // 1
  uint32_t reserved5;     // 5
  uint8_t creationByte;   // 9
  char name[32];          // 10
  uint32_t creationValue; // 42
  uint8_t reserved46[6];  // 46
};
static_assert(sizeof(DatabaseCreateInfo) == 52);
static_assert(offsetof(DatabaseCreateInfo, creator) == 1);
static_assert(offsetof(DatabaseCreateInfo, creationByte) == 9);
static_assert(offsetof(DatabaseCreateInfo, name) == 10);
static_assert(offsetof(DatabaseCreateInfo, creationValue) == 42);

// A request for the record IDs of a database (a position map): the Sync Manager fills the
// buffer with up to `maxEntries` 32-bit IDs in the handheld's byte order.
struct RecordIdListRequest {
  uint8_t dbHandle;       // 0
  uint16_t reserved1;     // 1
  uint16_t maxEntries;    // 3
  uint16_t returned;      // 5, filled by the call
  uint16_t bufferSize;    // 7, 4 x maxEntries
  uint32_t buffer;        // 9, pointer slot of the ID buffer
};
static_assert(sizeof(RecordIdListRequest) == 13);
static_assert(offsetof(RecordIdListRequest, buffer) == 9);

#pragma pack(pop)

// A status is a communication error when it is not -1 and carries the communication bit.
inline bool IsCommunicationStatus(int32_t status) {
  return status != -1 && (status & kSyncErrCommBit) != 0;
}
