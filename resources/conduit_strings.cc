#include "resources/conduit_strings.h"

namespace velqor::resources {

// Leading blanks belong to the texts: they indent the lines of a message in the log.
const velqor::platform::StringResource kConduitStrings[] = {
    {3301, "Date Book"},
    {3308, "am"},
    {3309, "pm"},
    {3310, "Untimed"},
    {3311, "     Please check your connections and try again."},
    {3312, "     Your Pilot may be full.  Check the Pilot's Memory Application."},
    {3313, "     Your Desktop disk may be full.  Check the disk space and HotSync again."},
    {3314, "Desktop"},
    {3315, "   - Could not copy the following record to Pilot:"},
    {3316, "   - Could not purge the deleted records on Pilot."},
    {3317, "   - Could not delete the following record on Pilot:"},
    {3318, "   - Could not modify the following record on Pilot:"},
    {3319, "   - Could not copy the following record to the Desktop:"},
    {3320, "   - Could not move the Pilot records in category '"},
    {3321, "' to 'Unfiled'."},
    {3322, "   - Could not read the next Pilot record."},
    {3323, "   - Only 15 categories are allowed.  All records in category"},
    {3324, "     were changed to 'Unfiled'."},
    {3325, "category"},
    {3326, "has been deleted and all of"},
    {3327, "     the records in this category have been moved to 'Unfiled'."},
    {3331, "   - The following record was modified on both Pilot and the Desktop:"},
    {3332, "     This record will be duplicated on each platform. The Pilot record marked to"},
    {3333, "     be archived was not archived.  Delete the unwanted record and HotSync again."},
    {3334, "   - The following record was modified on one platform and deleted on the other."},
    {3335, "     The modified version will appear on both platforms."},
    {3336, "   - Pilot Desktop does not support events before 1970.  The following"},
    {3337, "     event was moved to 1970:"},
    {3346, "   - Some or all of your deleted records were not archived."},
    {3347, "   - Could not save the Desktop file."},
};
const size_t kConduitStringCount = sizeof(kConduitStrings) / sizeof(kConduitStrings[0]);

}  // namespace velqor::resources
