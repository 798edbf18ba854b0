// The table that holds host calendar records, and reads and writes itself as an exchange file.
#pragma once

#include <string>

#include "hostfile/vuzur_record.h"
#include "hostfile/vuzur_schema.h"
#include "platform/classlib.h"
#include "platform/table/table.h"

class CVuzurTable : public CDateBkTable {
  VQ_DECLARE_DYNCREATE(CVuzurTable)
 public:
  CVuzurTable();
  ~CVuzurTable() override = default;

  // The whole table in the exchange format. Storing writes the count and every row in row
  // order and throws CArchiveException(kCauseBadFormat) for a table or value the format cannot
  // carry. Loading appends one row per complete record; every failure is thrown.
  void Serialize(CArchive& archive) override;

  // Reads an exchange file into the table, replacing its rows. Returns 0 when the whole file was
  // read; kTblFileMissing (24582) when the file does not exist, with the table untouched; the
  // failure cause otherwise (a file that cannot be opened leaves the table untouched; after a
  // failure while reading, the complete records before it stay). `flag` is not used.
  long LoadFrom(const std::string& path, long flag);
};
