// The smallest KVAL application in C++: one line in the system's colours.
#include "kval.h"

int main()
{
    const uint32_t before = kval::color();
    kval::set_color(kval::LIGHT_GREEN);
    kval::print("\nHello from a KVAL application!");
    kval::set_color(before);
    kval::printf("\nKVAL version code %x.", kval::version());
    return 0;
}
