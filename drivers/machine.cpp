// Restart and power-off share their first steps: the applications are
// marked for the system process to end during a three-second wait, the
// floppy head is parked on cylinder 0 and the controller held in reset, and
// the keyboard is put back to its quiet state.
#include "drivers/machine.h"

#include "cpu/timer.h"
#include "drivers/acpi.h"
#include "drivers/floppy.h"
#include "drivers/keyboard.h"
#include "lib/cpu.h"
#include "lib/port.h"
#include "proc/process.h"

namespace {

constexpr uint32_t REAP_WAIT_TICKS = 300;  // the system process ends them meanwhile
constexpr uint32_t SETTLE_TICKS = 100;
constexpr uint16_t KBC_COMMAND_PORT = 0x64;
constexpr uint8_t KBC_PULSE_RESET = 0xFE;  // pulses the processor's reset line

void machine_prepare()
{
    for (uint32_t pid = FIRST_APPLICATION_PID; pid <= MAX_PID; ++pid) {
        process_set_state(pid, PROCESS_KILL_REQUESTED);
    }
    timer_sleep(REAP_WAIT_TICKS);
    floppy_motor(true);
    fdc_seek(0, 0);
    floppy_motor(false);
    fdc_set_enabled(false);
    timer_sleep(SETTLE_TICKS);
    kbd_shutdown();
    timer_sleep(SETTLE_TICKS);
    interrupts_disable();
}

}  // namespace

void machine_restart()
{
    machine_prepare();
    port_out8(KBC_COMMAND_PORT, KBC_PULSE_RESET);
}

void machine_power_off()
{
    machine_prepare();
    acpi_power_off();
}
