// con_printf and its number-to-text converters. Every conversion renders into
// storage on the caller's stack, so a task switch in the middle of one cannot
// let another task's conversion overwrite its digits.
#include "display/printf.h"

#include <stdarg.h>

#include "display/console.h"
#include "lib/physmem.h"
#include "lib/string.h"

namespace {

constexpr char DIGITS[] = "0123456789ABCDEF";  // shared by all three converters
constexpr uint32_t SCRATCH_SIZE = 32;          // enough for the 32 digits of a binary value
constexpr uint32_t WORK_BUFFER_SIZE = 64;      // one rendered conversion
constexpr uint32_t NUMBER_AREA = 32;           // the part of it zeroed before a number

// Where the conversions take their 32-bit values from: the variadic list of
// a call in the kernel, or the values of a system call.
struct FormatArgs {
    va_list* list;           // null when the values come from an array
    const uint32_t* values;  // the array, with `count` entries
    uint32_t count;
    uint32_t next;
};

uint32_t next_value(FormatArgs& args)
{
    if (args.list != nullptr) {
        return va_arg(*args.list, uint32_t);
    }
    // The array holds no more: the conversion gets 0 rather than whatever
    // follows it in memory.
    if (args.next >= args.count) {
        return 0;
    }
    return args.values[args.next++];
}

const char* next_string(FormatArgs& args)
{
    if (args.list != nullptr) {
        return va_arg(*args.list, const char*);
    }
    // A system call passes the string's address in the caller's address space.
    uint32_t address = next_value(args);
    return address == 0 ? nullptr : virt_as<const char>(address);
}

// Short strings are copied into the working buffer first; one that would not
// fit is printed from where it is, so the buffer is never overrun.
void print_string(const char* s, char* buffer)
{
    if (s == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < WORK_BUFFER_SIZE; ++i) {
        if (s[i] == '\0') {
            con_puts(str_copy(buffer, s));
            return;
        }
    }
    con_puts(s);
}

void print_number(char conversion, uint32_t value, char* buffer)
{
    mem_set(buffer, 0, NUMBER_AREA);  // int_to_hex's terminator
    if (conversion == 'i') {
        int_to_dec(static_cast<int32_t>(value), buffer);
    } else if (conversion == 'x') {
        int_to_hex(value, buffer);
    } else {
        int_to_bin(value, buffer);
    }
    con_puts(buffer);
}

// The format's length is taken again after every step, like con_puts does.
void print_formatted(const char* format, FormatArgs& args)
{
    if (format == nullptr) {
        return;
    }
    char buffer[WORK_BUFFER_SIZE];
    uint32_t i = 0;
    while (i < str_len(format)) {
        if (format[i] != '%') {
            con_putc(static_cast<uint8_t>(format[i]));
            ++i;
            continue;
        }
        char conversion = format[i + 1];  // may be the terminator
        if (conversion == 'c') {
            con_putc(static_cast<uint8_t>(next_value(args)));
        } else if (conversion == 's') {
            print_string(next_string(args), buffer);
        } else if (conversion == 'i' || conversion == 'x' || conversion == 'b') {
            print_number(conversion, next_value(args), buffer);
        } else {
            // Not a conversion: the % stands for itself and the next
            // character is read as ordinary text (or another %).
            con_putc('%');
            ++i;
            continue;
        }
        i += 2;
    }
}

// Writes `value` in BASE (2 or 10) and terminates it: the digits are
// collected least significant first in a scratch area on this call's stack,
// so two tasks' conversions never share it, then copied out in reverse.
template <uint32_t BASE>
void write_digits(uint32_t value, char* out)
{
    if (value == 0) {
        out[0] = '0';
        out[1] = '\0';
        return;
    }
    char scratch[SCRATCH_SIZE];
    uint32_t count = 0;
    while (value != 0) {
        scratch[count++] = DIGITS[value % BASE];
        value /= BASE;
    }
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = scratch[count - 1 - i];
    }
    out[count] = '\0';
}

}  // namespace

void con_printf(const char* format, ...)
{
    va_list list;
    va_start(list, format);
    FormatArgs args = {&list, nullptr, 0, 0};
    print_formatted(format, args);
    va_end(list);
}

void con_printf_values(const char* format, const uint32_t* values, uint32_t count)
{
    FormatArgs args = {nullptr, values, count, 0};
    print_formatted(format, args);
}

void con_debug(const char* format, uint32_t value)
{
    con_set_color(COLOR_LIGHT_RED);
    con_printf(format, value);
    con_set_color(COLOR_YELLOW);
}

void int_to_dec(int32_t value, char* out)
{
    // Unsigned from here on: the magnitude of -2147483648 only fits there.
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
    }
    write_digits<10>(magnitude, out);
}

// A logical shift: negative values give all 32 digits.
void int_to_bin(uint32_t value, char* out)
{
    write_digits<2>(value, out);
}

// Leading zero nibbles are dropped, but at least two digits are written.
// With two or more digits the terminator is the caller's zero fill.
void int_to_hex(uint32_t value, char* out)
{
    uint32_t count = 0;
    for (int32_t shift = 28; shift >= 0; shift -= 4) {
        char digit = DIGITS[(value >> shift) & 0xF];
        if (count > 0 || digit != '0') {
            out[count++] = digit;
        }
    }
    if (count == 0) {
        out[0] = '0';
        out[1] = '0';
        out[2] = '\0';
    } else if (count == 1) {
        out[1] = out[0];
        out[0] = '0';
        out[2] = '\0';
    }
}
