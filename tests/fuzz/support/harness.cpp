#include "support/harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "display/console.h"
#include "drivers/keyboard.h"
#include "fakes/fake_floppy.h"
#include "fakes/fake_hw.h"
#include "fakes/processes.h"
#include "proc/process.h"
#include "support/host_heap.h"

namespace fuzz {

namespace {

constexpr uint16_t KBD_STATUS = 0x64;
constexpr uint16_t KBD_DATA = 0x60;
constexpr uint8_t ENTER = 0x1C;
constexpr int RELAX_LIMIT = 2'000'000;

std::vector<uint8_t> queued;
size_t next_key = 0;
bool endless_enter = false;

void deliver(uint8_t code)
{
    fake::queue_reads(KBD_STATUS, {0x01});
    fake::queue_reads(KBD_DATA, {code});
    kbd_irq_work();
}

void relax_turn()
{
    timer_tick(0);  // every turn of a wait is a tick: sleeps and beeps end
    if (kbd_peek_key() != KEY_NONE) {
        return;
    }
    if (next_key < queued.size()) {
        deliver(queued[next_key++]);
    } else if (endless_enter) {
        deliver(ENTER);
    } else {
        throw OutOfKeys{};
    }
}

}  // namespace

void boot(bool processes)
{
    fake::reset();
    if (processes) {
        fake::processes::boot();
        if (process_add(fake::processes::record("KVALCLI", PROCESS_SYSTEM)) != 0) {
            fail("the shell's record was refused");
        }
        fake::processes::run(SHELL_PID);
    } else {
        fake::floppy::init_kernel_memory();
    }
    timers_reset_all();
    sleep_timer_init();
    console_init();
    fake::set_default_read(KBD_STATUS, 0x00);
    kbd_shutdown();
    kbd_clear_key();
    fake::on_relax = relax_turn;
    turn();
}

void turn()
{
    fake::port_writes.clear();
    fake::invalidated_pages.clear();
    fake::syscalls.clear();
    fake::relax_calls = 0;
    // A wait that outlasts this many turns never ends: fake_hw throws, and
    // the uncaught exception is a finding.
    fake::relax_limit = RELAX_LIMIT;
    fake::halts = 0;
    queued.clear();
    next_key = 0;
    endless_enter = false;
    kbd_clear_key();
}

void fail(const char* what)
{
    std::fprintf(stderr, "\n==FINDING== %s\n", what);
    std::abort();
}

void check(bool ok, const char* what)
{
    if (!ok) {
        fail(what);
    }
}

void keys(const uint8_t* codes, size_t count, bool endless)
{
    queued.assign(codes, codes + count);
    next_key = 0;
    endless_enter = endless;
}

void keys_endless_enter()
{
    queued.clear();
    next_key = 0;
    endless_enter = true;
}

void check_no_leak(uint32_t before, const char* what)
{
    if (heap::blocks_in_use() > before) {
        std::fprintf(stderr, "\n==FINDING== %u heap block(s) leaked\n", heap::blocks_in_use() - before);
        fail(what);
    }
}

}  // namespace fuzz
