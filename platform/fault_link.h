// A handheld link decorator that records every call and makes chosen calls fail: the Nth call
// of a named function (counted from 1) answers a given status without reaching the handheld,
// as a broken connection or a full handheld would.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/sync_manager.h"

namespace velqor::platform {

class FaultInjectingLink : public HandheldLink {
 public:
  explicit FaultInjectingLink(HandheldLink* inner) : inner_(inner) {}

  // `function` is a Sync Manager function name, e.g. "HhReadNextModified".
  void FailNth(const std::string& function, int nth, int32_t status);
  // Every call from the Nth on fails with the status (a connection that stays broken).
  void FailFrom(const std::string& function, int nth, int32_t status);
  // Parses "FUNCTION@N=STATUS" (STATUS decimal or 0x hex) as FailNth, and "FUNCTION@N+=STATUS"
  // as FailFrom; false for a malformed text or an unknown function name. When several rules
  // match a call, the one added first answers. Calls are numbered from the link's creation
  // (ClearCalls does not restart the numbering).
  bool AddRule(const std::string& text);

  struct Call {
    std::string function;
    int32_t status;      // what the caller was answered
    uint32_t recordId;   // the record's ID where the call has one, else 0
  };
  const std::vector<Call>& calls() const { return calls_; }
  int CountOf(const std::string& function) const;
  void ClearCalls() { calls_.clear(); }

  int32_t RegisterConduit(uint32_t* handle) override;
  int32_t UnregisterConduit(uint32_t handle) override;
  int32_t OpenDatabase(const char* name, int32_t card, uint8_t* handle, int32_t mode) override;
  int32_t CreateDatabase(DatabaseCreateInfo* info) override;
  int32_t CloseDatabase(uint8_t handle) override;
  int32_t ReadRecordById(RawRecord* record) override;
  int32_t ReadRecordByIndex(RawRecord* record) override;
  int32_t ReadNextModified(RawRecord* record) override;
  int32_t WriteRecord(RawRecord* record) override;
  int32_t DeleteRecord(RawRecord* record) override;
  int32_t PurgeDeleted(uint8_t handle) override;
  int32_t ResetSyncFlags(uint8_t handle) override;
  int32_t ReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record) override;
  int32_t WriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) override;
  int32_t ReadSystemInfo(HandheldSystemInfo* info) override;
  int32_t ChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) override;
  int32_t YieldCycles(uint16_t cycles) override;

 private:
  HandheldLink* inner_;
  struct Rule {
    int nth;
    bool onward;
    int32_t status;
  };
  std::map<std::string, std::vector<Rule>> rules_;
  std::map<std::string, int> counts_;
  std::vector<Call> calls_;
};

}  // namespace velqor::platform
