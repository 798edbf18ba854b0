// Loading a conduit module by path and calling its four exported functions.
#pragma once

#include <string>

#include "shell/conduit_api.h"

namespace velqor::tools {

class ConduitModule {
 public:
  ConduitModule() = default;
  ~ConduitModule();
  ConduitModule(const ConduitModule&) = delete;
  ConduitModule& operator=(const ConduitModule&) = delete;

  // Loads the module and resolves the four functions; false with the loader's reason.
  bool Load(const std::string& path, std::string* error);

  OpenConduitFn open = nullptr;
  GetConduitNameFn name = nullptr;
  GetConduitVersionFn version = nullptr;
  ConfigureConduitFn configure = nullptr;

  // The conduit's display name, or "conduit" when it gives none.
  std::string DisplayName() const;

 private:
  void* handle_ = nullptr;
};

// The conduit of this build: libvelqor.so in the shell folder of the tree the program runs from.
std::string DefaultConduitPath();
// The reference host driver of this build.
std::string DefaultDriverPath();

}  // namespace velqor::tools
