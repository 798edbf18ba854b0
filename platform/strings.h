// String resources: a module registers its string table when it is loaded, and texts are
// loaded by module handle and identifier.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velqor::platform {

using ModuleHandle = uint32_t;  // 0 is no module

struct StringResource {
  uint32_t id;
  const char* text;
};

// Registers a module's table and returns its handle. The table must outlive the registration.
ModuleHandle RegisterStringTable(const StringResource* table, size_t count);
void UnregisterStringTable(ModuleHandle module);

}  // namespace velqor::platform

// Copies at most size - 1 characters of the string and a NUL into the buffer and returns the
// number of characters copied; 0 (buffer untouched) for an unknown module or id, a null
// buffer or a size below 1.
int32_t LoadStringA(velqor::platform::ModuleHandle module, uint32_t id, char* buffer,
                    int32_t size);
