// The conduit's four entry points as the module exports them (conduit_api.h), and the module
// handle they share. OpenConduit runs one synchronization: settings, the one-shot requests,
// delivery of a leftover update file, the host extract, the monitor's run and the hand-over of
// the result to the host.
#pragma once

#include <cstdint>

#include "platform/hotsync_types.h"
#include "platform/strings.h"

namespace velqor::shell {

inline constexpr int32_t kConduitVersion = 0x0101;
inline constexpr uint32_t kConduitNameId = 3301;

// The handle under which the module's string table is registered; 0 before the module is
// loaded and after it is unloaded.
void StoreModuleHandle(velqor::platform::ModuleHandle module);
velqor::platform::ModuleHandle CurrentModuleHandle();

int32_t OpenConduit(void* caller, ConduitProperties& properties);
int32_t GetConduitName(char* name, uint16_t size);
int32_t GetConduitVersion();
int32_t ConfigureConduit(ConduitConfiguration& configuration);

}  // namespace velqor::shell
