// The generic record-synchronization monitor. One monitor serves one synchronization: the
// shell constructs it, calls StartSync once and destroys it. The base fixes the order of the
// virtual operations through which a record-type-specific monitor supplies its steps, and does
// the steps every record type shares: the dispatch on the sync type, first-sync preparation,
// archiving, category synchronization and the HotSync log messages.
#pragma once

#include <cstdint>
#include <string>

#include "convert/base_converter.h"
#include "engine/engine_status.h"
#include "platform/hotsync_types.h"
#include "platform/strings.h"
#include "platform/table/category.h"
#include "platform/table/table.h"

// Sync types as HotSync Manager passes them.
inline constexpr int32_t kSyncTypeFast = 0;
inline constexpr int32_t kSyncTypeSlow = 1;
inline constexpr int32_t kSyncTypeHandheldOverwrites = 2;
inline constexpr int32_t kSyncTypeDesktopOverwrites = 3;

// First-sync indicator values of the properties record.
inline constexpr int32_t kFirstSyncHandheldNew = 1;
inline constexpr int32_t kFirstSyncDesktopNew = 2;

inline constexpr uint16_t kCategoryBlockBufferSize = 800;
inline constexpr uint8_t kSystemTextCapacity = 255;
// Text buffers of the log messages: loaded strings, record descriptions, display names.
inline constexpr int32_t kLogTextSize = 128;
// The display name on the closing line of a run.
inline constexpr uint16_t kRunNameSize = 40;
inline constexpr int kCategoryCount = 16;

// Category index pairs (source, target) collected while categories are reconciled; at most one
// per desktop category.
struct CategoryRemapList {
  struct Pair {
    int32_t source;
    int32_t target;
  };
  int32_t count = 0;
  Pair pairs[kCategoryCount] = {};

  // False when the list is full.
  bool Add(int32_t source, int32_t target);
};

class CSyncMonitor {
 public:
  // `caller` is kept for the caller's sake; `module` is the string table of the log texts.
  CSyncMonitor(void* caller, const ConduitProperties& properties,
               velqor::platform::ModuleHandle module);
  CSyncMonitor(const CSyncMonitor&) = delete;
  CSyncMonitor& operator=(const CSyncMonitor&) = delete;

  // Reads the handheld's system information, then runs what the sync type asks for.
  int32_t StartSync();

  // The operations, in their fixed slot order. The base versions of those a monitor must
  // supply (and of those no monitor of this system calls) answer kEngNotSupplied.
  virtual int32_t OpenPilotDB();                                              // 0
  virtual int32_t OpenDesktopTables();                                        // 1
  virtual int32_t SaveDesktopTable(const char* path);                         // 2
  virtual int32_t PurgeDesktopDeleted();                                      // 3
  virtual int32_t GetDesktopRecordCount();                                    // 4
  virtual int32_t CopyRecordToTable(CBaseRecord& record, CBaseTable* table);  // 5
  virtual int32_t AddPilotRecord(CBaseRecord& record);                        // 6
  virtual int32_t ModifyPilotRecord(CBaseRecord& record);                     // 7
  virtual int32_t CopyPilotToDesktop();                                       // 8
  virtual int32_t CopyDesktopToPilot();                                       // 9
  virtual int32_t FastSync();                                                 // 10
  virtual int32_t SlowSync();                                                 // 11
  // Hands out a new, empty table owned by the caller; null with a nonzero status on failure.
  virtual int32_t CreateArchiveTable(CBaseTable** table);                        // 12
  virtual int32_t SendDesktopChanges(CBaseRecord& record);                       // 13
  virtual int32_t ReadPositionMap();                                             // 14
  virtual int32_t SyncCategories();                                              // 15
  virtual int32_t PrepareFirstSync();                                            // 16
  virtual int32_t SaveArchives();                                                // 17
  virtual int32_t SpareHookA(int32_t first, int32_t second);                     // 18
  virtual int32_t SpareHookB(int32_t first, int32_t second);                     // 19
  virtual int32_t OnPilotRecordAdded(CBaseRecord& record, int32_t rowPosition);  // 20
  virtual int32_t Run();                                                         // 21
  virtual int32_t RunSpecialModeA();                                             // 22
  virtual int32_t RunSpecialModeB();                                             // 23
  // Writes a one-line description of the record into a zeroed buffer of kLogTextSize bytes.
  virtual void DescribeRecord(CBaseRecord& record, char* buffer);  // 24
  // Writes the monitor's display name (at most size - 1 characters and a NUL) and returns
  // its length.
  virtual int32_t GetDisplayName(char* buffer, uint16_t size);  // 25
  virtual ~CSyncMonitor();                                      // 26

  // 1 for a status that means the connection is gone, else 0.
  static int32_t IsCommsError(int32_t status);
  // 1 for a status after which the desktop table may still be saved, else 0.
  static int32_t IsNonFatalError(int32_t status);
  // Gives the raw record a zeroed data buffer of `size` bytes; kEngNoRecordBuffer (capacity
  // 0, no buffer) when it cannot be allocated. Release it with FreeRecordBuffer.
  static int32_t AllocRecordBuffer(RawRecord& raw, uint16_t size);
  // Releases a buffer AllocRecordBuffer gave; the record is left without one.
  static void FreeRecordBuffer(RawRecord& raw);

  // Clears the record's status and archive mark and copies it into the table; kEngCopyFailed
  // (after logging) when the copy fails.
  int32_t ArchiveRecord(CBaseRecord& record, CBaseTable* table);

  // Reads the current database's category block into a new handheld category manager.
  int32_t ReadPilotCategories();

  // Log messages. Each writes the conduit's header line first if no problem was logged yet.
  void WriteLogHeader();
  void LogAddFailed(CBaseRecord& record);
  void LogPurgeFailed();
  void LogDeleteFailed(CBaseRecord& record);
  void LogModifyFailed(CBaseRecord& record);
  void LogDesktopCopyFailed(CBaseRecord& record);
  void LogCategoryMoveFailed(const std::string& name);
  void LogReadFailed();
  void LogTooManyCategories(const std::string& name);
  void LogCategoryDeleted(const std::string& name, const std::string& platformWord);
  void LogDoubleModify(CBaseRecord& record);
  void LogModifiedAndDeleted(CBaseRecord& record);
  void LogMovedTo1970(CBaseRecord& record);
  void LogNotArchived();
  void LogDesktopNotSaved();
  // The framing lines of a run: an empty line at its start, the display name at its end
  // (activity kLogRunClean or kLogRunProblems).
  void WriteRunStartLine();
  void WriteRunEndLine(int32_t activity);

 protected:
  // Category synchronization steps.
  int32_t WritePilotCategories(CCategoryMgr* categories);
  int32_t ReplaceDesktopCategories(CCategoryMgr* categories);
  static void MarkCategoryNamesDirty(CCategoryMgr* categories);
  void ApplyCategoryRemap(const CategoryRemapList& list);

  // A string of the module's table, empty when it has none with that identifier.
  std::string LoadText(uint32_t id) const;
  // The name of the current handheld database, empty when the properties give none.
  std::string CurrentDatabaseName() const;
  // The archive file of a category index: the directory, the category's file name (or
  // "Unfiled") and the archive extension.
  std::string ArchivePath(int32_t categoryIndex);

  CBaseConverter* Converter = nullptr;  // owned; set by the derived monitor
  void* CallerPointer = nullptr;
  CBaseTable* DesktopTable = nullptr;         // owned
  CBaseTable* ArchiveTable = nullptr;         // owned; records archived during this run
  CBaseTable* BackupTable = nullptr;          // owned; the derived monitor's third table
  CBaseTable* ChangeTable = nullptr;          // owned; the derived monitor's fourth table
  ConduitProperties Properties;               // byte copy of the caller's record
  CCategoryMgr* DesktopCategories = nullptr;  // the desktop table's; not owned
  CCategoryMgr* PilotCategories = nullptr;    // owned
  uint8_t DbHandle = 0;
  char ArchiveExtension[7] = {};  // NUL-terminated; filled by the derived monitor
  int32_t DbCount = 1;
  int32_t DbIndex = 0;
  CategoryBlockRecord CategoryBlock;
  velqor::platform::ModuleHandle Module = 0;
  HandheldSystemInfo SystemInfo;

 private:
  void FreeCategoryBuffer();
  static void WriteLine(const std::string& text, int32_t activity);
  void WriteDescription(CBaseRecord& record);

  // The buffers behind the pointer slots of CategoryBlock and SystemInfo. Kept here as well,
  // so that a derived monitor clearing those records cannot make them leak.
  uint8_t* blockBuffer_ = nullptr;
  uint32_t blockHandle_ = 0;
  char* systemText_ = nullptr;
  uint32_t systemTextHandle_ = 0;
};
