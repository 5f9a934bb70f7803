// What every fuzz target shares: the fake machine brought up once per
// process (kernel memory, console, the process table with the shell
// current), a cheap reset between inputs, a key feeder on the fake keyboard
// controller, and the checks that end a run as a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace fuzz {

// Once per process: fake::reset, the memory managers as start-up leaves
// them, the console, and (with `processes`) mt_init with KVALCLI added and
// made current, as the shell runs.
void boot(bool processes);
// Before each input: the port log emptied, the wait counters zeroed, no keys.
void turn();

// A finding the sanitizers cannot see: printed, then abort(), which
// libFuzzer reports as a crash and saves the input for.
[[noreturn]] void fail(const char* what);
// fail() unless `ok`.
void check(bool ok, const char* what);

// ---- keys ----
// Thrown from a wait for a key once the queued scan codes are all taken:
// the input is over.
struct OutOfKeys {};
// Scan codes for the keyboard, one delivered (through the 8042's status and
// data ports and the IRQ 1 handler) each time the key slot is empty while
// the kernel waits. With no codes left the next empty-slot wait throws
// OutOfKeys; with `endless` it gets Enter instead, for ever.
void keys(const uint8_t* codes, size_t count, bool endless = false);
void keys_endless_enter();

// ---- the kernel heap (support/host_heap.cpp) ----
// fail() when the heap holds more blocks than `before`.
void check_no_leak(uint32_t before, const char* what);

}  // namespace fuzz
