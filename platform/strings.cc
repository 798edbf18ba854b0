#include "platform/strings.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

namespace velqor::platform {
namespace {

struct Module {
  const StringResource* table;
  size_t count;
};

struct ModuleTable {
  std::mutex mutex;
  std::unordered_map<ModuleHandle, Module> modules;
  ModuleHandle next = 1;
};

ModuleTable& Modules() {
  static ModuleTable* table = new ModuleTable;  // never destroyed: used until process exit
  return *table;
}

}  // namespace

ModuleHandle RegisterStringTable(const StringResource* table, size_t count) {
  if (table == nullptr && count > 0) return 0;
  ModuleTable& m = Modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  while (m.next == 0 || m.modules.count(m.next) != 0) ++m.next;
  ModuleHandle handle = m.next++;
  m.modules.emplace(handle, Module{table, count});
  return handle;
}

void UnregisterStringTable(ModuleHandle module) {
  ModuleTable& m = Modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.modules.erase(module);
}

}  // namespace velqor::platform

int32_t LoadStringA(velqor::platform::ModuleHandle module, uint32_t id, char* buffer,
                    int32_t size) {
  using namespace velqor::platform;
  if (buffer == nullptr || size < 1) return 0;
  ModuleTable& m = Modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.modules.find(module);
  if (it == m.modules.end()) return 0;
  for (size_t i = 0; i < it->second.count; ++i) {
    const StringResource& entry = it->second.table[i];
    if (entry.id != id) continue;
    if (entry.text == nullptr) return 0;
    // Never looks further into the text than the buffer can take.
    size_t length = strnlen(entry.text, static_cast<size_t>(size) - 1);
    std::memcpy(buffer, entry.text, length);
    buffer[length] = '\0';
    return static_cast<int32_t>(length);
  }
  return 0;
}
