#include "fakes/processes.h"

#include <cstring>
#include <stdexcept>

#include "fakes/fake_floppy.h"
#include "mm/vmm.h"

namespace fake::processes {

void boot()
{
    floppy::init_kernel_memory();
    stack_pointer = 0xC0101000;  // somewhere on the kernel stack, where KVALSYS goes on
    if (!mt_init()) {
        throw std::runtime_error("mt_init failed");
    }
}

ProcessRecord record(const char* name, uint32_t type, uint32_t time_slice)
{
    ProcessRecord r{};
    std::strncpy(r.name, name, sizeof r.name);
    r.active = 1;
    r.cs = 8;
    r.ds = r.es = r.fs = r.gs = r.ss = 16;
    r.eip = 0x1234;
    r.esp = PROCESS_STACK_ESP;
    r.eflags = 0x202;
    r.page_directory = vmm_kernel_directory();
    r.image_pages = 2;
    r.type = type;
    r.time_slice = time_slice;
    r.stack_base = PROCESS_STACK_BASE;
    r.stack_pages = PROCESS_STACK_PAGES;
    return r;
}

void run(uint32_t pid)
{
    const TickFrame blank{};
    for (uint32_t i = 0; i <= MAX_PROCESSES && process_current_pid() != pid; ++i) {
        scheduler_next(&blank);
    }
    if (process_current_pid() != pid) {
        throw std::runtime_error("the scheduler never reached that slot");
    }
}

void shut_down()
{
    scheduler_set_enabled(0);
}

}  // namespace fake::processes
