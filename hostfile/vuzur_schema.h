// The field layout of host calendar records: the Date Book fields and, as field 15, the host
// number that the host driver gives each record and expects back with it.
#pragma once

#include "platform/table/table.h"

inline constexpr int kFldHostNumber = 15;
inline constexpr int kVuzurFieldCount = 16;

class CVuzurSchema : public CDateBkSchema {
  VQ_DECLARE_DYNCREATE(CVuzurSchema)
 public:
  CVuzurSchema() = default;
  explicit CVuzurSchema(long tag) : CDateBkSchema(tag) {}
  // The 16 fields and the four field-index settings; returns 0.
  long DefineFields() override;
};
