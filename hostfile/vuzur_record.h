// The record class bound to host calendar tables: equality over the event's own data, the host
// number, and the record's line of the exchange format.
#pragma once

#include <cstdint>

#include "hostfile/exchange_format.h"
#include "hostfile/vuzur_schema.h"
#include "platform/classlib.h"
#include "platform/table/table.h"

// The host-number operations' failure: unpositioned record, no field 15, or a refused read.
inline constexpr long kNoHostNumber = 24577;

class CVuzurRecord : public CDateBkRecord {
 public:
  CVuzurRecord(CBaseTable& table, uint16_t flag) : CDateBkRecord(table, flag) {}

  // 1 when both records agree on fields 3 to 13 (the event's data), 0 otherwise. A missing
  // field is a difference, so a record lacking one equals nothing, itself included.
  int IsEqual(const CBaseRecord& other) const override;

  long GetHostNumber(int32_t& value) const;
  long SetHostNumber(const int32_t& value);

  // Stores the current row as one exchange line, or loads one line into it. Loading reads the
  // whole line before it touches the row, so a line cut short changes nothing. Failures are
  // thrown as CArchiveException: kCauseEndOfFile for a file that ends inside the line,
  // kCauseBadFormat for a malformed field or a value the format cannot carry, kCauseGeneric when
  // the row refuses a value.
  void SerializeRecord(CArchive& archive);

  // The row's properties as the format carries them; nonzero when the record has no row.
  long GetExchangeFields(velqor::hostfile::ExchangeRecord* fields) const;
  // Sets what a loaded line says and leaves the rest of the row as it is; nonzero when the
  // row refuses a value.
  long SetExchangeFields(const velqor::hostfile::ExchangeRecord& fields);
};
