// con_printf and con_printf_values with fuzzed formats and argument words,
// and the three converters on exactly the buffers their contracts name.
//
// Input: 8 argument words (32 bytes, little-endian), then up to 4 strings
// of at most 63 bytes each, NUL-separated, then the format (to the end).
// For con_printf each conversion of the format (as con_printf reads it) is
// given its own argument: a word, or for %s the next string. For
// con_printf_values, the words as a system call passes them: a %s word
// becomes the address of one of the strings, copied into low memory that
// the kernel's one-to-one mapping covers (other addresses would only test
// the fake's page walk).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "display/console.h"
#include "display/printf.h"
#include "fakes/fake_hw.h"
#include "support/harness.h"

namespace {

constexpr size_t WORDS = 8;
constexpr size_t STRINGS = 4;
constexpr size_t STRING_MAX = 63;
constexpr uint32_t STRING_AREA = 0x300000;  // physical = virtual: the low 4 MiB are mapped one-to-one
constexpr uint32_t STRING_SLOT = 0x100;

// The conversions con_printf will take values for, in order: 's' or 'n'.
std::vector<char> conversions(const std::string& format)
{
    std::vector<char> out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        const char c = i + 1 < format.size() ? format[i + 1] : '\0';
        if (c == 's') {
            out.push_back('s');
            ++i;
        } else if (c == 'c' || c == 'i' || c == 'x' || c == 'b') {
            out.push_back('n');
            ++i;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool booted = (fuzz::boot(false), true);
    (void)booted;
    fuzz::turn();
    uint32_t words[WORDS] = {};
    std::memcpy(words, data, size < sizeof words ? size : sizeof words);
    size_t at = size < sizeof words ? size : sizeof words;
    std::vector<std::string> strings;
    while (strings.size() < STRINGS && at < size) {
        std::string s;
        while (at < size && data[at] != 0 && s.size() < STRING_MAX) {
            s += static_cast<char>(data[at++]);
        }
        ++at;
        strings.push_back(s);
    }
    const std::string format(reinterpret_cast<const char*>(data) + (at < size ? at : size), at < size ? size - at : 0);
    // A heap copy of exactly the format and its NUL: a read past it is reported.
    char* fmt = new char[format.size() + 1];
    std::memcpy(fmt, format.c_str(), format.size() + 1);
    std::vector<char*> string_copies;
    for (const std::string& s : strings) {
        char* copy = new char[s.size() + 1];
        std::memcpy(copy, s.c_str(), s.size() + 1);
        string_copies.push_back(copy);
    }

    // con_printf: at most 8 conversions get arguments, so the format is cut
    // after its eighth (more would read past the variadic arguments).
    const std::vector<char> kinds = conversions(format);
    if (kinds.size() <= WORDS) {
        uintptr_t args[WORDS] = {};
        size_t next_string = 0;
        for (size_t i = 0; i < kinds.size(); ++i) {
            if (kinds[i] == 's') {
                args[i] = next_string < string_copies.size() && (words[i] & 1) == 0
                              ? reinterpret_cast<uintptr_t>(string_copies[next_string++])
                              : 0;
            } else {
                args[i] = words[i];
            }
        }
        con_set_cursor(words[0] % (CONSOLE_COLUMNS + 1), words[1] % (CONSOLE_ROWS + 1));
        con_printf(fmt, args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7]);
    }

    // con_printf_values, as SYS_PRINTF passes its three words (and more).
    uint32_t values[WORDS];
    for (size_t i = 0; i < WORDS; ++i) {
        values[i] = words[i];
        if (i < kinds.size() && kinds[i] == 's' && (words[i] & 1) == 0) {
            const size_t which = (words[i] >> 1) % STRINGS;
            const uint32_t address = STRING_AREA + static_cast<uint32_t>(which) * STRING_SLOT;
            const std::string s = which < strings.size() ? strings[which] : std::string();
            std::memcpy(fake::phys(address), s.c_str(), s.size() + 1);
            values[i] = address;
        } else if (i < kinds.size() && kinds[i] == 's') {
            values[i] = 0;
        }
    }
    const uint32_t count = words[2] % (WORDS + 1);
    con_printf_values(fmt, values, count);
    con_printf_values(fmt, values, 0);

    // The converters, on buffers of exactly the sizes printf.h gives.
    for (size_t i = 0; i < WORDS; ++i) {
        char* dec = new char[12];
        int_to_dec(static_cast<int32_t>(words[i]), dec);
        fuzz::check(std::to_string(static_cast<int32_t>(words[i])) == dec, "int_to_dec disagrees");
        delete[] dec;
        char* bin = new char[33];
        int_to_bin(words[i], bin);
        delete[] bin;
        char* hex = new char[9]();
        int_to_hex(words[i], hex);
        delete[] hex;
    }
    fuzz::check(con_get_x() <= CONSOLE_COLUMNS && con_get_y() <= CONSOLE_ROWS, "the cursor left the screen");

    for (char* copy : string_copies) {
        delete[] copy;
    }
    delete[] fmt;
    return 0;
}
