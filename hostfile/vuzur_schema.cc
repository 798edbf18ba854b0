#include "hostfile/vuzur_schema.h"

VQ_IMPLEMENT_DYNCREATE(CVuzurSchema, 1)

long CVuzurSchema::DefineFields() {
  m_nFields = kVuzurFieldCount;
  m_fieldTypes = {
      kFieldInteger,  // 0 record ID
      kFieldInteger,  // 1 status
      kFieldInteger,  // 2 category
      kFieldTime,     // 3 start time
      kFieldInteger,  // 4 end time
      kFieldText,     // 5 description
      kFieldInteger,  // 6 alarm advance
      kFieldText,     // 7 note
      kFieldBoolean,  // 8 untimed
      kFieldBoolean,  // 9 alarm set
      kFieldInteger,  // 10 private
      kFieldBoolean,  // 11 repeating
      kFieldInteger,  // 12 alarm unit
      kFieldInteger,  // 13 repeat interval
      kFieldRepeat,   // 14 repeat rule
      kFieldInteger,  // 15 host number
  };
  m_nRecordIdField = kFldRecordId;
  m_nStatusField = kFldStatus;
  m_nPrivateField = kFldPrivate;
  m_nCategoryField = kFldCategory;
  return 0;
}
