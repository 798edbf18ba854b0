// The name of the backup file that holds the result of the previous synchronization. Every
// place that deletes, reads or writes the backup uses this one rule, so they always agree.
#pragma once

#include <string>

namespace velqor::shell {

// The backup file of the desktop data file `localFileName` in the user's `directory` (which
// ends in a path separator): the local file name with its extension, from its last ".",
// replaced by ".bak", or with ".bak" appended when it has none. Only the local name is looked
// at, so a dot in the directory never shapes the name and the backup always lies beside the
// desktop data file. "name.dat" gives "name.bak"; "dbook" gives "dbook.bak".
std::string BackupFilePath(const std::string& directory, const std::string& localFileName);

// The mark that the desktop data file holds a synchronization's result the host has not been
// handed yet: written before the result is saved, removed once it is the update file. A run
// cut off in between finds it and delivers that result before extracting over it.
std::string UndeliveredMarkPath(const std::string& directory, const std::string& localFileName);

}  // namespace velqor::shell
