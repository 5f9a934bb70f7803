// con_printf, the kernel's one formatted-output routine, and the three
// number-to-text converters it uses.
#pragma once

#include <stdint.h>

// Conversions: %c %s %i %x %b. Each argument is one 32-bit value. A %s of 64
// characters or more is printed as it is; a null %s prints nothing.
void con_printf(const char* format, ...);
// The same with the values taken from an array, as a system call passes them.
// A %s value is an address in the current address space; conversions past
// `count` get the value 0 (a %s then prints nothing).
void con_printf_values(const char* format, const uint32_t* values, uint32_t count);

void int_to_dec(int32_t value, char* out);   // out: at least 12 bytes
void int_to_bin(uint32_t value, char* out);  // out: at least 33 bytes
void int_to_hex(uint32_t value, char* out);  // out: at least 9 bytes, zero-filled by the caller

// A debug report: `format` (which starts with "\n[KVALDBG]: ") printed with
// con_printf in light red, after which the colour returns to yellow.
void con_debug(const char* format, uint32_t value);
