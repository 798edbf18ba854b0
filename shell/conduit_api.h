// The functions the conduit module (libvelqor.so) exports with C linkage, for host programs
// that load it by path and look them up by name.
#pragma once

#include <cstdint>

#include "platform/hotsync_types.h"

// Runs one synchronization; 0 on success or after a failure the log explains, otherwise the
// status of the monitor's run.
using OpenConduitFn = int32_t (*)(void* caller, ConduitProperties& properties);
// Copies the conduit's display name into the buffer; 0, or -1 when nothing was copied.
using GetConduitNameFn = int32_t (*)(char* name, uint16_t size);
// 0x0101.
using GetConduitVersionFn = int32_t (*)();
// Lets the user choose the next synchronization's kind; 0 after OK, -1 after cancel.
using ConfigureConduitFn = int32_t (*)(ConduitConfiguration& configuration);

inline constexpr char kOpenConduitSymbol[] = "OpenConduit";
inline constexpr char kGetConduitNameSymbol[] = "GetConduitName";
inline constexpr char kGetConduitVersionSymbol[] = "GetConduitVersion";
inline constexpr char kConfigureConduitSymbol[] = "ConfigureConduit";
