// con_printf, the kernel's one formatted-output routine, and the three
// number-to-text converters it uses.
#pragma once

#include <stdint.h>

// Conversions: %c %s %i %x %b. Each argument is one 32-bit value.
void con_printf(const char* format, ...);
void int_to_dec(int32_t value, char* out);   // out: at least 12 bytes
void int_to_bin(uint32_t value, char* out);  // out: at least 33 bytes
void int_to_hex(uint32_t value, char* out);  // out: at least 9 bytes, zero-filled by the caller

// A debug report: `format` (which starts with "\n[KVALDBG]: ") printed with
// con_printf in light red, after which the colour returns to yellow.
void con_debug(const char* format, uint32_t value);
