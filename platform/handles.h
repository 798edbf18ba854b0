// The records of the HotSync interface keep 4-byte pointer slots. On a 64-bit build a slot holds
// a handle that this table resolves; handle 0 is the null pointer.
#pragma once

#include <cstdint>

namespace velqor::platform {

// Registers a pointer and returns its handle (0 for null). Registering a pointer that is
// already registered returns its existing handle.
uint32_t RegisterPointer(void* pointer);
// The pointer behind a handle, or null for 0 and for handles that are not (or no longer) known.
void* ResolvePointer(uint32_t handle);
// Forgets a handle; later resolutions give null. Releasing 0 or an unknown handle does nothing.
void ReleasePointer(uint32_t handle);

template <typename T>
T* ResolveAs(uint32_t handle) {
  return static_cast<T*>(ResolvePointer(handle));
}

}  // namespace velqor::platform
