// The conduit's string table: the display name, the words of record descriptions and every
// text of the HotSync log messages.
#pragma once

#include <cstddef>

#include "platform/strings.h"

namespace velqor::resources {

extern const velqor::platform::StringResource kConduitStrings[];
extern const size_t kConduitStringCount;

}  // namespace velqor::resources
