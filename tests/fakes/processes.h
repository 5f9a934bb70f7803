// The process manager brought up on fake hardware, for the tests of the
// units that look at processes: kernel memory, mt_init, and the scheduler
// driven by hand.
#pragma once

#include <cstdint>

#include "proc/process.h"

namespace fake::processes {

// Kernel memory as start-up leaves it, then mt_init: KVALSYS in slot 0,
// task switching off.
void boot();
// A record process_add accepts, running in the kernel's directory.
ProcessRecord record(const char* name, uint32_t type = PROCESS_APPLICATION, uint32_t time_slice = 3);
// Switches (scheduler_next with a blank frame) until `pid` is current.
void run(uint32_t pid);
// Switching back off, so the next test's ticks only count.
void shut_down();

}  // namespace fake::processes
