// A check of the host extract before the synchronization trusts it. An extract that holds no
// event of the window while the previous result held some there would make the run delete all
// of them from the handheld as deleted on the host; a host calendar that really emptied itself is
// far rarer than a driver or host that failed quietly, so the run asks first.
#pragma once

#include <cstdint>
#include <string>

namespace velqor::shell {

// True when the exchange file `extractPath` loads and holds no record of the window while the
// backup file `backupPath` loads and holds at least one record of the window that reached the
// handheld (a record with a handheld ID). Window membership is platform::InSyncWindow's. A file
// that does not load gives false: the synchronization reports it in its own way.
bool ExtractEmptiesWindow(const std::string& extractPath, const std::string& backupPath,
                          int32_t windowStart, int32_t windowEnd);

}  // namespace velqor::shell
