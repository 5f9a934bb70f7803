// Process-manager state that exists from load time. Until the process table
// is created, task switching stays off and no process is current, so the
// timer only counts and a fatal error always stops the kernel.
#include "proc/process.h"

#include "cpu/isr.h"
#include "lib/cpu.h"
#include "lib/string.h"

ProcessRecord* process_table = nullptr;
uint32_t current_pid = 0;
uint8_t scheduler_enabled = 0;

uint8_t scheduler_is_enabled()
{
    return scheduler_enabled;
}

void scheduler_set_enabled(uint8_t flag)
{
    scheduler_enabled = flag;
}

uint32_t process_current_pid()
{
    return current_pid;
}

uint32_t process_current_time_slice()
{
    return process_table != nullptr ? process_table[current_pid].time_slice : 0;
}

ProcessRecord* process_get_record(ProcessRecord* out, uint32_t pid)
{
    if (process_table == nullptr) {
        mem_set(out, 0, sizeof(ProcessRecord));
        return out;
    }
    const uint32_t slot = pid < MAX_PROCESSES ? pid : current_pid;
    mem_copy(out, &process_table[slot], sizeof(ProcessRecord));
    return out;
}

// Without a process table there is nothing to switch to; the tick never asks
// for a switch while switching is off.
void task_switch(uint32_t /*frame*/)
{
    cpu_stop();
}
