// Status codes the synchronization engine produces. Every operation of the engine returns a
// signed 32-bit status, 0 for success.
#pragma once

#include <cstdint>

inline constexpr int32_t kEngOk = 0;
// The base version of an operation that a monitor must supply.
inline constexpr int32_t kEngNotSupplied = -1;
// The archive table a monitor handed out does not exist.
inline constexpr int32_t kEngNoArchiveTable = 4101;
// Copying a record into a table failed.
inline constexpr int32_t kEngCopyFailed = 4103;
// A record buffer could not be allocated.
inline constexpr int32_t kEngNoRecordBuffer = 4106;
// Sorting a table by record status failed.
inline constexpr int32_t kEngSortFailed = 4107;
// The category block buffer or a category manager is missing.
inline constexpr int32_t kEngNoCategoryBuffer = 4108;
// There is no run for the sync type.
inline constexpr int32_t kEngNoRunForSyncType = 4114;
