// The one exit for unrecoverable errors, and the processor exceptions.
#pragma once

#include <stdint.h>

// Ends the faulting application when one is running with task switching on;
// otherwise replaces the screen with the fatal error report and stops.
[[noreturn]] void fatal_error(const char* message);

extern const char* const fatal_banner;
extern const char* const fatal_explanation;

// Installs the twenty processor-exception handlers (vectors 0-14, 16-19, 30).
void exceptions_install();
// The message of an exception vector, or null when it has no handler.
const char* exception_message(int32_t vector);
