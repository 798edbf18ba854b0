#include "platform/handles.h"

#include <mutex>
#include <unordered_map>

namespace velqor::platform {
namespace {

// Two maps so that registering an already known pointer answers its handle without a scan.
struct PointerTable {
  std::mutex mutex;
  std::unordered_map<uint32_t, void*> byHandle;
  std::unordered_map<void*, uint32_t> byPointer;
  uint32_t next = 1;
};

PointerTable& Table() {
  static PointerTable* table = new PointerTable;  // never destroyed: used until process exit
  return *table;
}

}  // namespace

uint32_t RegisterPointer(void* pointer) {
  if (pointer == nullptr) return 0;
  PointerTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto known = t.byPointer.find(pointer);
  if (known != t.byPointer.end()) return known->second;
  // Handles count up and skip 0 and any handle still registered after a wrap, so a live
  // handle is never given out twice.
  if (t.byHandle.size() >= UINT32_MAX - 1) return 0;
  while (t.next == 0 || t.byHandle.count(t.next) != 0) ++t.next;
  uint32_t handle = t.next++;
  t.byHandle.emplace(handle, pointer);
  t.byPointer.emplace(pointer, handle);
  return handle;
}

void* ResolvePointer(uint32_t handle) {
  if (handle == 0) return nullptr;
  PointerTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.byHandle.find(handle);
  return it == t.byHandle.end() ? nullptr : it->second;
}

void ReleasePointer(uint32_t handle) {
  if (handle == 0) return;
  PointerTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.byHandle.find(handle);
  if (it == t.byHandle.end()) return;
  t.byPointer.erase(it->second);
  t.byHandle.erase(it);
}

}  // namespace velqor::platform
