#include "platform/fault_link.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

namespace velqor::platform {
namespace {

constexpr std::array<std::string_view, 17> kFunctions = {
    "HhRegisterConduit",   "HhUnregisterConduit",  "HhOpenDatabase",      "HhCreateDatabase",
    "HhCloseDatabase",     "HhReadRecordById",     "HhReadRecordByIndex", "HhReadNextModified",
    "HhWriteRecord",       "HhDeleteRecord",       "HhPurgeDeleted",      "HhResetSyncFlags",
    "HhReadCategoryBlock", "HhWriteCategoryBlock", "SyncReadSystemInfo",  "SyncChangeCategory",
    "SyncYieldCycles"};

bool IsKnownFunction(std::string_view name) {
  return std::find(kFunctions.begin(), kFunctions.end(), name) != kFunctions.end();
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A positive decimal count that fits an int; false for anything else.
bool ParseCount(std::string_view text, int* out) {
  if (text.empty()) return false;
  int64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int>::max()) return false;
  }
  if (value < 1) return false;
  *out = static_cast<int>(value);
  return true;
}

// A status: decimal with an optional minus sign within the 32-bit signed range, or 0x hex of
// up to 32 bits (taken as the same bit pattern, so 0xFFFFFFFF is -1).
bool ParseStatus(std::string_view text, int32_t* out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    uint64_t value = 0;
    for (char c : text.substr(2)) {
      int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value * 16 + static_cast<uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
  }
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return false;
  int64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

}  // namespace

void FaultInjectingLink::FailNth(const std::string& function, int nth, int32_t status) {
  rules_[function].push_back(Rule{nth, false, status});
}

void FaultInjectingLink::FailFrom(const std::string& function, int nth, int32_t status) {
  rules_[function].push_back(Rule{nth, true, status});
}

bool FaultInjectingLink::AddRule(const std::string& text) {
  std::string_view rule(text);
  size_t at = rule.find('@');
  size_t eq = rule.find('=');
  if (at == std::string_view::npos || eq == std::string_view::npos || eq < at) return false;
  std::string_view function = rule.substr(0, at);
  std::string_view count = rule.substr(at + 1, eq - at - 1);
  std::string_view status = rule.substr(eq + 1);
  if (!IsKnownFunction(function)) return false;
  bool onward = !count.empty() && count.back() == '+';
  if (onward) count.remove_suffix(1);
  int nth = 0;
  int32_t code = 0;
  if (!ParseCount(count, &nth) || !ParseStatus(status, &code)) return false;
  rules_[std::string(function)].push_back(Rule{nth, onward, code});
  return true;
}

int FaultInjectingLink::CountOf(const std::string& function) const {
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                        [&](const Call& c) { return c.function == function; }));
}

namespace {

// One call through the link: numbers it, answers the first matching rule's status or else the
// inner link's (kSyncErrNoLink without one), and records it with the record ID as it stands
// after the call (so a new record's ID, or the ID of the record read, is what shows).
template <typename Rules, typename Calls, typename Forward>
int32_t Intercept(const char* function, const Rules& rules, int& count, Calls& calls,
                  HandheldLink* inner, const RawRecord* record, Forward forward) {
  ++count;
  int32_t status = 0;
  bool injected = false;
  auto found = rules.find(function);
  if (found != rules.end()) {
    for (const auto& rule : found->second) {
      if (rule.nth == count || (rule.onward && count >= rule.nth)) {
        status = rule.status;
        injected = true;
        break;
      }
    }
  }
  if (!injected) status = inner != nullptr ? forward(*inner) : kSyncErrNoLink;
  calls.push_back({function, status, record != nullptr ? record->recordId : 0u});
  return status;
}

}  // namespace

#define VQ_INTERCEPT(name, record, call)                         \
  Intercept(name, rules_, counts_[name], calls_, inner_, record, \
            [&](HandheldLink& link) { return link.call; })

int32_t FaultInjectingLink::RegisterConduit(uint32_t* handle) {
  return VQ_INTERCEPT("HhRegisterConduit", nullptr, RegisterConduit(handle));
}
int32_t FaultInjectingLink::UnregisterConduit(uint32_t handle) {
  return VQ_INTERCEPT("HhUnregisterConduit", nullptr, UnregisterConduit(handle));
}
int32_t FaultInjectingLink::OpenDatabase(const char* name, int32_t card, uint8_t* handle,
                                         int32_t mode) {
  return VQ_INTERCEPT("HhOpenDatabase", nullptr, OpenDatabase(name, card, handle, mode));
}
int32_t FaultInjectingLink::CreateDatabase(DatabaseCreateInfo* info) {
  return VQ_INTERCEPT("HhCreateDatabase", nullptr, CreateDatabase(info));
}
int32_t FaultInjectingLink::CloseDatabase(uint8_t handle) {
  return VQ_INTERCEPT("HhCloseDatabase", nullptr, CloseDatabase(handle));
}
int32_t FaultInjectingLink::ReadRecordById(RawRecord* record) {
  return VQ_INTERCEPT("HhReadRecordById", record, ReadRecordById(record));
}
int32_t FaultInjectingLink::ReadRecordByIndex(RawRecord* record) {
  return VQ_INTERCEPT("HhReadRecordByIndex", record, ReadRecordByIndex(record));
}
int32_t FaultInjectingLink::ReadNextModified(RawRecord* record) {
  return VQ_INTERCEPT("HhReadNextModified", record, ReadNextModified(record));
}
int32_t FaultInjectingLink::WriteRecord(RawRecord* record) {
  return VQ_INTERCEPT("HhWriteRecord", record, WriteRecord(record));
}
int32_t FaultInjectingLink::DeleteRecord(RawRecord* record) {
  return VQ_INTERCEPT("HhDeleteRecord", record, DeleteRecord(record));
}
int32_t FaultInjectingLink::PurgeDeleted(uint8_t handle) {
  return VQ_INTERCEPT("HhPurgeDeleted", nullptr, PurgeDeleted(handle));
}
int32_t FaultInjectingLink::ResetSyncFlags(uint8_t handle) {
  return VQ_INTERCEPT("HhResetSyncFlags", nullptr, ResetSyncFlags(handle));
}
int32_t FaultInjectingLink::ReadCategoryBlock(uint8_t handle, CategoryBlockRecord* record) {
  return VQ_INTERCEPT("HhReadCategoryBlock", nullptr, ReadCategoryBlock(handle, record));
}
int32_t FaultInjectingLink::WriteCategoryBlock(uint8_t handle, CategoryBlockRecord* record) {
  return VQ_INTERCEPT("HhWriteCategoryBlock", nullptr, WriteCategoryBlock(handle, record));
}
int32_t FaultInjectingLink::ReadSystemInfo(HandheldSystemInfo* info) {
  return VQ_INTERCEPT("SyncReadSystemInfo", nullptr, ReadSystemInfo(info));
}
int32_t FaultInjectingLink::ChangeCategory(uint8_t handle, uint8_t fromIndex, uint8_t toIndex) {
  return VQ_INTERCEPT("SyncChangeCategory", nullptr, ChangeCategory(handle, fromIndex, toIndex));
}
int32_t FaultInjectingLink::YieldCycles(uint16_t cycles) {
  return VQ_INTERCEPT("SyncYieldCycles", nullptr, YieldCycles(cycles));
}

#undef VQ_INTERCEPT

}  // namespace velqor::platform
