#include "engine/sync_monitor.h"

#include <cstring>
#include <new>

#include "platform/handles.h"
#include "platform/sync_manager.h"

using velqor::platform::ModuleHandle;
using velqor::platform::RegisterPointer;
using velqor::platform::ReleasePointer;
using velqor::platform::ResolveAs;

bool CategoryRemapList::Add(int32_t source, int32_t target) {
  if (count < 0 || count >= kCategoryCount) return false;
  pairs[count].source = source;
  pairs[count].target = target;
  ++count;
  return true;
}

CSyncMonitor::CSyncMonitor(void* caller, const ConduitProperties& properties, ModuleHandle module)
    : CallerPointer(caller), Module(module) {
  std::memcpy(&Properties, &properties, sizeof Properties);
  std::memset(&CategoryBlock, 0, sizeof CategoryBlock);
  std::memset(&SystemInfo, 0, sizeof SystemInfo);
  // Cleared although the platform fills it, so that nothing ever reads indeterminate bytes.
  systemText_ = new (std::nothrow) char[kSystemTextCapacity]();
  if (systemText_ != nullptr) {
    systemTextHandle_ = RegisterPointer(systemText_);
    SystemInfo.textBuffer = systemTextHandle_;
    SystemInfo.textCapacity = kSystemTextCapacity;
  }
}

CSyncMonitor::~CSyncMonitor() {
  delete Converter;
  Converter = nullptr;
  delete ArchiveTable;
  ArchiveTable = nullptr;
  delete DesktopTable;
  DesktopTable = nullptr;
  delete BackupTable;
  BackupTable = nullptr;
  delete ChangeTable;
  ChangeTable = nullptr;
  delete PilotCategories;
  PilotCategories = nullptr;
  FreeCategoryBuffer();
  ReleasePointer(systemTextHandle_);
  delete[] systemText_;
  systemText_ = nullptr;
}

void CSyncMonitor::FreeCategoryBuffer() {
  if (CategoryBlock.buffer == blockHandle_) CategoryBlock.buffer = 0;
  ReleasePointer(blockHandle_);
  blockHandle_ = 0;
  delete[] blockBuffer_;
  blockBuffer_ = nullptr;
}

int32_t CSyncMonitor::StartSync() {
  const int32_t status = SyncReadSystemInfo(&SystemInfo);
  if (status != 0) return status;
  // Taken as unsigned, so that a negative type is one of the large ones nothing serves.
  switch (static_cast<uint32_t>(Properties.syncType)) {
    case 0:
    case 1:
    case 2:
    case 3:
      return Run();
    case 4:
    case 7:
      return RunSpecialModeA();
    case 5:
      return RunSpecialModeB();
    default:
      return kEngNoRunForSyncType;
  }
}

int32_t CSyncMonitor::PrepareFirstSync() {
  // A desktop whose records were never on a handheld of this generation sends every
  // remaining record as a new one.
  if (Properties.firstSyncIndicator != kFirstSyncDesktopNew || DesktopTable == nullptr ||
      SystemInfo.majorVersion >= 2) {
    return kEngOk;
  }
  CBaseIterator iterator(*DesktopTable);
  CBaseRecord record(*DesktopTable, 0);
  for (long found = iterator.FindFirst(record); found == 0; found = iterator.FindNext(record)) {
    record.SetRecordId(0);
    if (!record.IsDeleted()) record.SetStatus(kStatusAdded);
  }
  return kEngOk;
}

int32_t CSyncMonitor::IsCommsError(int32_t status) {
  return (status != -1 && (status & kSyncErrCommBit) != 0) ? 1 : 0;
}

int32_t CSyncMonitor::IsNonFatalError(int32_t status) {
  return (status == kSyncErrNonFatalA || status == kSyncErrNonFatalB) ? 1 : 0;
}

int32_t CSyncMonitor::AllocRecordBuffer(RawRecord& raw, uint16_t size) {
  raw.capacity = 0;
  uint8_t* data = new (std::nothrow) uint8_t[size]();
  raw.buffer = data != nullptr ? RegisterPointer(data) : 0;
  if (data == nullptr) return kEngNoRecordBuffer;
  raw.capacity = size;
  return kEngOk;
}

void CSyncMonitor::FreeRecordBuffer(RawRecord& raw) {
  uint8_t* data = ResolveAs<uint8_t>(raw.buffer);
  ReleasePointer(raw.buffer);
  delete[] data;
  raw.buffer = 0;
  raw.capacity = 0;
  raw.size = 0;
}

std::string CSyncMonitor::CurrentDatabaseName() const {
  constexpr int32_t kNameSlots = sizeof(Properties.databaseNames) / sizeof(uint32_t);
  if (DbIndex < 0 || DbIndex >= kNameSlots) return std::string();
  const char* name = ResolveAs<const char>(Properties.databaseNames[DbIndex]);
  if (name == nullptr) return std::string();
  return std::string(name, strnlen(name, sizeof(CategoryBlock.databaseName) - 1));
}

// Base versions of the operations.

int32_t CSyncMonitor::OpenPilotDB() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::OpenDesktopTables() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::SaveDesktopTable(const char*) {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::PurgeDesktopDeleted() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::GetDesktopRecordCount() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::CopyRecordToTable(CBaseRecord&, CBaseTable*) {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::AddPilotRecord(CBaseRecord&) {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::ModifyPilotRecord(CBaseRecord&) {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::CopyPilotToDesktop() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::CopyDesktopToPilot() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::FastSync() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::SlowSync() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::CreateArchiveTable(CBaseTable** table) {
  if (table != nullptr) *table = nullptr;
  return kEngNotSupplied;
}
int32_t CSyncMonitor::SendDesktopChanges(CBaseRecord&) {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::ReadPositionMap() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::SpareHookA(int32_t, int32_t) {
  return kEngOk;
}
int32_t CSyncMonitor::SpareHookB(int32_t, int32_t) {
  return kEngOk;
}
int32_t CSyncMonitor::Run() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::RunSpecialModeA() {
  return kEngNotSupplied;
}
int32_t CSyncMonitor::RunSpecialModeB() {
  return kEngNotSupplied;
}
void CSyncMonitor::DescribeRecord(CBaseRecord&, char*) {}
int32_t CSyncMonitor::GetDisplayName(char*, uint16_t) {
  return 0;
}
