// Table fixtures the table library's tests share.
#pragma once

#include "platform/table/table.h"

namespace velqor::test_support {

// A Date Book layout with one more integer field, as tables of host records have.
class WideSchema : public CDateBkSchema {
 public:
  using CDateBkSchema::CDateBkSchema;
  long DefineFields() override {
    CDateBkSchema::DefineFields();
    m_nFields = 16;
    m_fieldTypes.push_back(kFieldInteger);
    return 0;
  }
};

class WideTable : public CDateBkTable {
 public:
  WideTable() {
    SetSchema(new WideSchema(54));
    m_pSchema->DefineFields();
  }
};

}  // namespace velqor::test_support
