#include "hostfile/vuzur_table.h"

#include <exception>
#include <optional>
#include <string>

#include "hostfile/exchange_format.h"

VQ_IMPLEMENT_DYNCREATE(CVuzurTable, 1)

namespace {

// The schema constructor value host tables have always been created with.
constexpr long kVuzurSchemaTag = 54;

int32_t FailureStatus(int32_t cause) {
  // Callers tell only success and a missing file from everything else.
  return cause == 0 || cause == kTblFileMissing ? kCauseGeneric : cause;
}

}  // namespace

CVuzurTable::CVuzurTable() {
  auto* schema = new CVuzurSchema(kVuzurSchemaTag);
  SetSchema(schema);
  if (GetSchema() != nullptr) GetSchema()->DefineFields();
}

void CVuzurTable::Serialize(CArchive& archive) {
  CVuzurRecord record(*this, 0);
  if (archive.IsStoring()) {
    std::string count;
    if (!velqor::hostfile::FormatRecordCount(GetRecordCount(), &count)) {
      throw CArchiveException(kCauseBadFormat);
    }
    archive.WriteString(count);
    CBaseIterator iterator(*this);
    for (long found = iterator.FindFirst(record, 0); found == 0;
         found = iterator.FindNext(record, 0)) {
      record.SerializeRecord(archive);
    }
    return;
  }

  int32_t count = velqor::hostfile::ReadRecordCount(archive);
  for (; count > 0; --count) {
    // The line is read whole before a row exists for it, so a file that ends or breaks inside a
    // record leaves only complete records behind.
    const velqor::hostfile::ExchangeRecord fields = velqor::hostfile::ReadExchangeRecord(archive);
    // A refused row must not pass for a complete table: the missing records would look deleted.
    if (AppendBlankRecord(record) != 0) throw CArchiveException(kCauseGeneric);
    if (record.SetExchangeFields(fields) != 0) throw CArchiveException(kCauseGeneric);
  }
}

long CVuzurTable::LoadFrom(const std::string& path, long /*flag*/) {
  if (!CFile::GetStatus(path)) return kTblFileMissing;

  CFile file;
  int32_t cause = 0;
  if (!file.Open(path, CFile::modeReadWrite | CFile::shareDenyWrite, &cause)) {
    // The file may have gone between the two looks; either way the table is untouched.
    return cause == kCauseFileNotFound ? kTblFileMissing : FailureStatus(cause);
  }

  DestroyAllFields();
  std::optional<CArchive> archive;
  try {
    archive.emplace(&file, CArchive::load, 4096);
    Serialize(*archive);
    archive->Close();
    file.Close();
    return 0;
  } catch (const CException& failure) {
    cause = failure.cause();
  } catch (const std::exception&) {
    cause = kCauseGeneric;
  }
  if (archive) archive->Abort();
  file.Abort();
  return FailureStatus(cause);
}
