#include "shell/backup_name.h"

namespace velqor::shell {

namespace {

std::string Stem(const std::string& localFileName) {
  // A local name is a bare file name; should it carry separators anyway, its extension is
  // looked for in its last component only.
  const size_t separator = localFileName.find_last_of("/\\");
  const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = localFileName.rfind('.');
  return dot != std::string::npos && dot >= nameStart ? localFileName.substr(0, dot)
                                                      : localFileName;
}

}  // namespace

std::string BackupFilePath(const std::string& directory, const std::string& localFileName) {
  return directory + Stem(localFileName) + ".bak";
}

std::string UndeliveredMarkPath(const std::string& directory, const std::string& localFileName) {
  return directory + Stem(localFileName) + ".undelivered";
}

}  // namespace velqor::shell
