#include "tools/conduit_loader.h"

#include <dlfcn.h>

#include <filesystem>

#include "tools/cli.h"

namespace velqor::tools {

ConduitModule::~ConduitModule() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool ConduitModule::Load(const std::string& path, std::string* error) {
  if (!std::filesystem::exists(path)) {
    *error = path + ": no such conduit module";
    return false;
  }
  // A bare file name would be searched for on the library path; the module is named by path.
  const std::string named = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(named.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    *error = path + ": cannot be loaded: " + (why ? why : "unknown reason");
    return false;
  }
  struct Entry {
    const char* symbol;
    void** slot;
  };
  void* found[4] = {};
  const Entry entries[] = {{kOpenConduitSymbol, &found[0]},
                           {kGetConduitNameSymbol, &found[1]},
                           {kGetConduitVersionSymbol, &found[2]},
                           {kConfigureConduitSymbol, &found[3]}};
  for (const auto& e : entries) {
    dlerror();
    *e.slot = dlsym(handle_, e.symbol);
    if (*e.slot == nullptr) {
      *error = path + ": exports no function " + e.symbol;
      return false;
    }
  }
  open = reinterpret_cast<OpenConduitFn>(found[0]);
  name = reinterpret_cast<GetConduitNameFn>(found[1]);
  version = reinterpret_cast<GetConduitVersionFn>(found[2]);
  configure = reinterpret_cast<ConfigureConduitFn>(found[3]);
  return true;
}

std::string ConduitModule::DisplayName() const {
  char buffer[80] = {};
  if (name == nullptr || name(buffer, sizeof buffer) != 0 || buffer[0] == '\0') return "conduit";
  return buffer;
}

std::string DefaultConduitPath() {
  return ProgramDirectory() + "/../shell/libvelqor.so";
}

std::string DefaultDriverPath() {
  std::error_code ec;
  const std::filesystem::path p =
      std::filesystem::weakly_canonical(ProgramDirectory() + "/../drivers/filehost", ec);
  return ec ? ProgramDirectory() + "/../drivers/filehost" : p.string();
}

}  // namespace velqor::tools
