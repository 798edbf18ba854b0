// The hotsync commands. Each takes the whole argument vector and the index of its first own
// argument, and returns the program's exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velqor::tools {

int CmdInit(int argc, char** argv, int first);
int CmdSettings(int argc, char** argv, int first);
int CmdSync(int argc, char** argv, int first);
int CmdConfigure(int argc, char** argv, int first);
int CmdHandheld(int argc, char** argv, int first);
int CmdExchange(int argc, char** argv, int first);

// "fast", "slow", "handheld", "desktop" or a number.
std::optional<int32_t> ParseSyncType(const std::string& text);
std::string SyncTypeName(int32_t type);

}  // namespace velqor::tools
