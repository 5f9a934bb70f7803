// Runs in the background without the console, counting, until it is
// killed. It shares its count in the system data table under COUNT, so
// another application can watch it grow; procs lists it as COUNTER.KVX.
#include "kval.h"

int main()
{
    // Leftover from a killed counter: start again from 0.
    if (kval::data_add("COUNT", 0) == kval::NAME_PRESENT) {
        kval::data_set("COUNT", 0);
    }
    for (uint32_t count = 1;; ++count) {
        for (uint32_t spin = 0; spin < 1000000; ++spin) {
            asm volatile("");  // a delay the compiler may not remove
        }
        kval::data_set("COUNT", count);
    }
}
