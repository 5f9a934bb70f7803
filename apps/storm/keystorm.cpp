// Holds the console and takes whatever keys come, for the system tests'
// key storm. Keys are read one at a time (call 14); Tab reads a line
// (call 15, at most 40 characters) and F1 asks yes or no (call 16); F10
// ends the program. Everything received goes into a hash the test computes
// too, from the keys it typed; anything no keyboard can produce, a line
// longer than asked for, or a write past the line's end counts as bad.
#include "kval.h"

namespace {

constexpr int32_t LINE_MAX = 40;
constexpr uint32_t GUARD = 8;  // bytes past the line that must stay untouched
constexpr uint8_t GUARD_BYTE = 0xA5;
constexpr int32_t KEY_F10 = 0x0F10;
constexpr int32_t KEY_F9 = 0x0F09;
constexpr int32_t LAST_SPECIAL = 0x0E0D;  // Alt

char line[LINE_MAX + 1 + GUARD];

uint32_t hash = 2166136261u;  // FNV-1a, a 32-bit word at a time
uint32_t keys;
uint32_t lines;
uint32_t answers;
uint32_t bad;

void mix(uint32_t value)
{
    hash = (hash ^ value) * 16777619u;
}

// A character (Insert's 0 included), or the code of a key without one.
bool possible_key(int32_t key)
{
    return (key >= 0 && key < 128) || (key >= kval::KEY_UP && key <= LAST_SPECIAL) ||
           (key >= kval::KEY_F1 && key <= KEY_F9) || key == KEY_F10;
}

// The line's text, its length and whether the rest stayed as it was.
bool read_line()
{
    for (uint32_t i = 0; i < sizeof(line); ++i) {
        line[i] = i <= LINE_MAX ? 0 : static_cast<char>(GUARD_BYTE);
    }
    const int32_t count = kval::read_line(line, LINE_MAX);
    if (count < 0) {
        return false;
    }
    if (count > LINE_MAX) {
        ++bad;
        return true;
    }
    mix(static_cast<uint32_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        mix(static_cast<uint8_t>(line[i]));
    }
    for (uint32_t i = static_cast<uint32_t>(count); i < sizeof(line); ++i) {
        if (static_cast<uint8_t>(line[i]) != (i <= LINE_MAX ? 0 : GUARD_BYTE)) {
            ++bad;
        }
    }
    ++lines;
    return true;
}

}  // namespace

int main()
{
    if (kval::take_console() != kval::OK) {
        kval::print("\nKEYSTORM could not take the console.");
        return 1;
    }
    kval::print("\nKEYSTORM ready");
    bool console = true;
    for (;;) {
        const int32_t key = kval::read_key();
        if (key < 0) {
            console = false;
            break;
        }
        ++keys;
        mix(static_cast<uint32_t>(key));
        if (!possible_key(key)) {
            ++bad;
        }
        if (key == KEY_F10) {
            break;
        }
        if (key == kval::KEY_TAB) {
            console = read_line();
        } else if (key == kval::KEY_F1) {
            const int32_t answer = kval::ask_yes_no("KEYSTORM ?");
            console = answer >= 0;
            if (answer > 1) {
                ++bad;
            }
            mix(static_cast<uint32_t>(answer));
            ++answers;
        }
        if (!console) {
            break;
        }
    }
    if (!console) {
        kval::print("\nKEYSTORM lost the console.");
        return 1;
    }
    // Still holding the console, so that no prompt comes between the two.
    kval::printf("\nKEYSTORM %i keys, %i lines, %i answers", keys, lines, answers);
    kval::printf(", hash %x, %i bad.", hash, bad);
    kval::give_console();
    return 0;
}
