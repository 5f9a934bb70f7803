// The image's entry point and the tables of static initialisers and exit
// handlers it runs around kernel_main.
#pragma once

#include <stdint.h>

extern "C" {
// Entry point (boot/entry.asm). Never returns.
[[noreturn]] void kernel_entry();
// Runs the static initialisers in order; null entries are skipped.
void kernel_run_initialisers();
// Runs the registered exit handlers in reverse order of registration.
void kernel_run_exit_handlers();
}

using ExitHandler = void (*)();
// Registers an exit handler; false when the table (8 slots) is full.
bool kernel_register_exit_handler(ExitHandler handler);
