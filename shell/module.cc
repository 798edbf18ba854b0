// The conduit module: the four exported functions and the module's load and unload. Nothing
// else of the module is visible outside it.
#include <type_traits>

#include "platform/strings.h"
#include "resources/conduit_strings.h"
#include "shell/conduit.h"
#include "shell/conduit_api.h"

#define VQ_EXPORT __attribute__((visibility("default")))

extern "C" {

VQ_EXPORT int32_t OpenConduit(void* caller, ConduitProperties& properties) {
  return velqor::shell::OpenConduit(caller, properties);
}

VQ_EXPORT int32_t GetConduitName(char* name, uint16_t size) {
  return velqor::shell::GetConduitName(name, size);
}

VQ_EXPORT int32_t GetConduitVersion() {
  return velqor::shell::GetConduitVersion();
}

VQ_EXPORT int32_t ConfigureConduit(ConduitConfiguration& configuration) {
  return velqor::shell::ConfigureConduit(configuration);
}

}  // extern "C"

namespace {

// The exported functions must keep the types hosts look them up with.
static_assert(std::is_same_v<decltype(&OpenConduit), OpenConduitFn>);
static_assert(std::is_same_v<decltype(&GetConduitName), GetConduitNameFn>);
static_assert(std::is_same_v<decltype(&GetConduitVersion), GetConduitVersionFn>);
static_assert(std::is_same_v<decltype(&ConfigureConduit), ConfigureConduitFn>);

__attribute__((constructor)) void LoadModule() {
  velqor::shell::StoreModuleHandle(velqor::platform::RegisterStringTable(
      velqor::resources::kConduitStrings, velqor::resources::kConduitStringCount));
}

__attribute__((destructor)) void UnloadModule() {
  const velqor::platform::ModuleHandle module = velqor::shell::CurrentModuleHandle();
  velqor::shell::StoreModuleHandle(0);
  if (module != 0) velqor::platform::UnregisterStringTable(module);
}

}  // namespace
