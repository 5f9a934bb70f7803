// Leaves a value in the system data table, where it outlives this
// application: run dataget.kvx afterwards to read it back.
#include "kval.h"

int main()
{
    constexpr uint32_t SCORE = 1234;
    int32_t status = kval::data_add("SCORE", SCORE);
    if (status == kval::NAME_PRESENT) {
        status = kval::data_set("SCORE", SCORE);
    }
    if (status != kval::OK) {
        kval::printf("\nThe system data table refused SCORE (%i).", status);
        return 1;
    }
    kval::printf("\nSCORE is now %i.", SCORE);
    return 0;
}
