// hotsync: the HotSync Manager stand-in. It keeps each user's handheld and settings in a
// profile folder, loads the conduit module and runs synchronizations through it.
#include <cstdio>
#include <cstring>

#include "tools/cli.h"
#include "tools/commands.h"

namespace {

const char kUsage[] =
    "usage: hotsync COMMAND ...\n"
    "  init PROFILE --user NAME [...]     creates a profile\n"
    "  settings PROFILE [set|unset ...]   shows or changes the conduit's settings\n"
    "  sync PROFILE [...]                 synchronizes the handheld with the host\n"
    "  configure PROFILE                  chooses what the next synchronization does\n"
    "  handheld PROFILE COMMAND [...]     shows and changes the handheld's Date Book\n"
    "  exchange dump FILE [--json]        shows an exchange file\n"
    "Every command has --help.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace velqor::tools;
  if (argc < 2) return UsageError("a command is needed (hotsync --help lists them)");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitClean;
  }
  if (command == "init") return CmdInit(argc, argv, 2);
  if (command == "settings") return CmdSettings(argc, argv, 2);
  if (command == "sync") return CmdSync(argc, argv, 2);
  if (command == "configure") return CmdConfigure(argc, argv, 2);
  if (command == "handheld") return CmdHandheld(argc, argv, 2);
  if (command == "exchange") return CmdExchange(argc, argv, 2);
  return UsageError("unknown command " + command);
}
