// Takes the console and waits for one key. Pressing CTRL+ENTER instead gives
// the console back to the shell: this waiting call and every later one that
// needs the console then fail with NO_CONSOLE (-24), and the application
// says which results it got.
#include "kval.h"

int main()
{
    if (kval::take_console() != kval::OK) {
        kval::print("\nAnother application holds the console.");
        return 1;
    }
    kval::print("\nPress a key, or CTRL+ENTER to take the console back.");
    const int32_t key = kval::read_key();
    if (key >= 0) {
        kval::printf("\nKey code %i.", key);
        kval::give_console();
        return 0;
    }
    char line[4] = {};
    kval::printf("\nread_key %i, then read_line %i", key, kval::read_line(line, 3));
    kval::printf(", ask_yes_no %i, give_console %i.", kval::ask_yes_no("?"), kval::give_console());
    return 0;
}
