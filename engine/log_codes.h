// Identifiers of the conduit's string table and the activity codes of its HotSync log lines.
#pragma once

#include <cstdint>

// Strings.
inline constexpr uint32_t kStrDisplayName = 3301;
inline constexpr uint32_t kStrAm = 3308;
inline constexpr uint32_t kStrPm = 3309;
inline constexpr uint32_t kStrUntimed = 3310;
inline constexpr uint32_t kStrCheckConnections = 3311;
inline constexpr uint32_t kStrPilotFull = 3312;
inline constexpr uint32_t kStrDesktopFull = 3313;
inline constexpr uint32_t kStrDesktopWord = 3314;
inline constexpr uint32_t kStrAddFailed = 3315;
inline constexpr uint32_t kStrPurgeFailed = 3316;
inline constexpr uint32_t kStrDeleteFailed = 3317;
inline constexpr uint32_t kStrModifyFailed = 3318;
inline constexpr uint32_t kStrDesktopCopyFailed = 3319;
inline constexpr uint32_t kStrMoveFailedHead = 3320;
inline constexpr uint32_t kStrMoveFailedTail = 3321;
inline constexpr uint32_t kStrReadFailed = 3322;
inline constexpr uint32_t kStrTooManyCategories = 3323;
inline constexpr uint32_t kStrChangedToUnfiled = 3324;
inline constexpr uint32_t kStrCategoryWord = 3325;
inline constexpr uint32_t kStrHasBeenDeleted = 3326;
inline constexpr uint32_t kStrMovedToUnfiled = 3327;
inline constexpr uint32_t kStrDoubleModify = 3331;
inline constexpr uint32_t kStrDuplicated = 3332;
inline constexpr uint32_t kStrNotArchivedAdvice = 3333;
inline constexpr uint32_t kStrModifiedAndDeleted = 3334;
inline constexpr uint32_t kStrModifiedVersion = 3335;
inline constexpr uint32_t kStrBefore1970 = 3336;
inline constexpr uint32_t kStrMovedTo1970 = 3337;
inline constexpr uint32_t kStrNotArchived = 3346;
inline constexpr uint32_t kStrDesktopNotSaved = 3347;

// Activity codes. Continuation lines, the run's start line and its closing lines use the
// codes of platform/hotsync_log.h.
inline constexpr int32_t kActDoubleModify = 1;
inline constexpr int32_t kActModifiedAndDeleted = 2;
inline constexpr int32_t kActTooManyCategories = 3;
inline constexpr int32_t kActCategoryDeleted = 4;
inline constexpr int32_t kActMovedTo1970 = 5;
inline constexpr int32_t kActCategoryMoveFailed = 7;
inline constexpr int32_t kActReadFailed = 8;
inline constexpr int32_t kActAddFailed = 9;
inline constexpr int32_t kActPurgeFailed = 10;
inline constexpr int32_t kActModifyFailed = 11;
inline constexpr int32_t kActDeleteFailed = 12;
inline constexpr int32_t kActDesktopCopyFailed = 13;
inline constexpr int32_t kActNotArchived = 16;
inline constexpr int32_t kActDesktopNotSaved = 17;
