// Reads the value that dataput.kvx (or any other application) left under
// the name SCORE in the system data table.
#include "kval.h"

int main()
{
    if (kval::data_find("SCORE") != kval::OK) {
        kval::print("\nSCORE is not set: run dataput.kvx first.");
        return 1;
    }
    kval::printf("\nSCORE is %i.", kval::data_get("SCORE"));
    return 0;
}
