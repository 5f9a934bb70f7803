// Takes the console, asks for a name and a yes or no, and gives the console
// back: while it runs, the keys reach this application and not the shell.
#include "kval.h"

namespace {

constexpr int32_t NAME_MAX = 20;

// CTRL+ENTER took the console back while we waited: say so and end.
int given_up()
{
    kval::print("\nThe shell took the console back.");
    return 1;
}

}  // namespace

int main()
{
    if (kval::take_console() != kval::OK) {
        kval::print("\nAnother application holds the console.");
        return 1;
    }
    char name[NAME_MAX + 1] = {};
    kval::print("\nWhat is your name ? ");
    if (kval::read_line(name, NAME_MAX) < 0) {
        return given_up();
    }
    const int32_t answer = kval::ask_yes_no("Shall I greet you in colour ?");
    if (answer < 0) {
        return given_up();
    }
    const uint32_t before = kval::color();
    if (answer == 1) {
        kval::set_color(kval::LIGHT_MAGENTA);
    }
    kval::printf("\nHello, %s!", name);
    kval::set_color(before);
    kval::give_console();
    return 0;
}
