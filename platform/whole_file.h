// Reading a whole regular file, for the file system and the settings store.
#pragma once

#include <string>

namespace velqor::platform {

enum class WholeFileStatus {
  kRead,        // *bytes holds the file
  kOpenFailed,  // errno of the open in *error (ENOENT: there is no such file)
  kNotRegular,  // a directory, device or pipe: never read, so never blocked on or endless
  kReadFailed,  // errno of the read in *error
};

// Reads the file at `path` into *bytes, which is left alone unless the whole file was read.
WholeFileStatus ReadWholeFile(const std::string& path, std::string* bytes, int* error);

}  // namespace velqor::platform
