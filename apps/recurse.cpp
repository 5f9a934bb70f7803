// Recurses a million calls deep, each call keeping a 256-byte frame: its
// 8 KiB stack runs out after about thirty. KVAL reports the page fault
// below the stack, ends this program alone and goes on.
#include "kval.h"

namespace {

volatile uint32_t bottom = 1000000;  // read at run time: the compiler cannot cut the recursion short

// The frame is used after the call, so the recursion is no tail call and
// the compiler can turn it into neither a loop nor nothing.
uint32_t descend(uint32_t level)
{
    volatile uint8_t frame[256];
    frame[0] = static_cast<uint8_t>(level);
    if (level == bottom) {
        return 0;
    }
    return descend(level + 1) + frame[0];
}

}  // namespace

int main()
{
    kval::print("\nGoing down...");
    kval::printf("\nCame back from %i calls: that cannot be.", descend(0));
    return 0;
}
