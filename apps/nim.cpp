// Nim, against the machine: 21 sticks, each side takes 1, 2 or 3 in turn,
// and whoever takes the last stick loses. Keys 1-3 play, Esc leaves.
#include "kval.h"

namespace {

constexpr uint32_t STICKS = 21;
constexpr uint32_t MAX_TAKE = 3;

void show(uint32_t left)
{
    kval::printf("\n%i left: ", left);
    const uint32_t before = kval::color();
    kval::set_color(kval::YELLOW);
    for (uint32_t i = 0; i < left; ++i) {
        kval::put_char('|');
    }
    kval::set_color(before);
}

// The winning move leaves a multiple of four plus one; when that cannot be
// done, take one and hope.
uint32_t machine_takes(uint32_t left)
{
    const uint32_t take = (left - 1) % (MAX_TAKE + 1);
    return take == 0 ? 1 : take;
}

// 1-3 (no more than what is left), 0 for Esc, -24 when the console is gone.
int32_t player_takes(uint32_t left)
{
    for (;;) {
        const int32_t key = kval::read_key();
        if (key < 0) {
            return key;
        }
        if (key == kval::KEY_ESC) {
            return 0;
        }
        const int32_t take = key - '0';
        if (take >= 1 && take <= static_cast<int32_t>(MAX_TAKE) && static_cast<uint32_t>(take) <= left) {
            return take;
        }
        kval::beep();
    }
}

}  // namespace

int main()
{
    if (kval::take_console() != kval::OK) {
        kval::print("\nAnother application holds the console.");
        return 1;
    }
    kval::print("\nNim: take 1, 2 or 3 sticks; whoever takes the last one loses. Esc leaves.");
    uint32_t left = STICKS;
    for (;;) {
        show(left);
        kval::print(" your move ? ");
        const int32_t take = player_takes(left);
        if (take <= 0) {
            kval::print(take == 0 ? "\nBye." : "\nThe shell took the console back.");
            break;
        }
        kval::put_char(static_cast<char>('0' + take));
        left -= static_cast<uint32_t>(take);
        if (left == 0) {
            kval::print("\nYou took the last stick: I win.");
            break;
        }
        const uint32_t mine = machine_takes(left);
        left -= mine;
        kval::printf("\nI take %i.", mine);
        if (left == 0) {
            kval::print("\nI took the last stick: you win!");
            break;
        }
    }
    kval::give_console();
    return 0;
}
