// The shell's process and graphics commands. The work is the loader's, the
// process table's and the renderer's; these fix the dialogue and messages.
#include "shell/procs.h"

#include "display/bmp.h"
#include "display/console.h"
#include "display/printf.h"
#include "display/vga.h"
#include "drivers/speaker.h"
#include "lib/cpu.h"
#include "lib/status.h"
#include "lib/string.h"
#include "mm/heap.h"
#include "proc/exe.h"
#include "proc/process.h"
#include "shell/input.h"

namespace {

constexpr int32_t PATH_MAX = 40;
constexpr int32_t PID_MAX = 2;
constexpr uint32_t APP_TIME_SLICE = 3;

// Labels padded to 18 columns, by process type.
constexpr const char* TYPE_LABELS[] = {
    "System            ",
    "Driver            ",
    "Application       ",
};
constexpr const char* UNKNOWN_TYPE_LABEL = "Unknown           ";

const char* load_shell_error(int32_t result)
{
    switch (result) {
        case STATUS_WRONG_KIND:
            return "\nInvalid Executable.";
        case STATUS_EXECUTABLE_INVALID:
            return "\nCannot find the executable.";
        case STATUS_NO_FREE_SLOT:
        case STATUS_OUT_OF_MEMORY:
            return "\nInsufficient Memory.";
        default:
            return "\nInternal Error.";
    }
}

}  // namespace

void cmd_ldapp()
{
    char* path = shell_ask("\nPlease enter the application path > ", PATH_MAX);
    if (path == nullptr) {
        return;
    }
    const int32_t result = exe_load(path, 0, APP_TIME_SLICE, PROCESS_APPLICATION);
    heap_free(path);
    if (result != STATUS_OK) {
        shell_error(load_shell_error(result));
        exe_load_status_reset();
        return;
    }
    // The new process reads its file meanwhile, in its own turns; the shell
    // halts through its own.
    cpu_wait_until([] { return exe_load_status() != STATUS_LOAD_PENDING; });
    const int32_t status = exe_load_status();
    if (status != STATUS_OK) {
        shell_error(status == STATUS_OUT_OF_MEMORY ? "\nInsufficient Memory." : "\nInvalid Executable.");
    }
    exe_load_status_reset();
}

void cmd_kill()
{
    char* text = shell_ask("\nPlease enter the process's PID > ", PID_MAX);
    if (text == nullptr) {
        return;
    }
    const int32_t pid = str_to_int(text);
    heap_free(text);
    if (process_is_active(static_cast<uint32_t>(pid)) == 0) {
        shell_error("\nInvalid PID.");
        return;
    }
    ProcessRecord record;
    process_get_record(&record, static_cast<uint32_t>(pid));
    if (record.type == PROCESS_SYSTEM) {
        shell_error("\nYou cannot kill a system process.");
    } else if (record.type == PROCESS_DRIVER) {
        shell_error("\nYou cannot kill a driver process.");
    } else {
        con_set_color(COLOR_LIGHT_CYAN);
        con_printf("\nThe application (%s) with PID (%i) had been killed.", record.name, record.pid);
        process_set_state(record.pid, PROCESS_KILL_REQUESTED);
    }
}

void cmd_procs()
{
    con_set_color(COLOR_LIGHT_GREEN);
    con_puts("\nPID      Type              Name");
    con_set_color(COLOR_LIGHT_CYAN);
    for (uint32_t pid = 0; pid < MAX_PROCESSES; ++pid) {
        if (process_is_active(pid) == 0) {
            continue;
        }
        ProcessRecord record;
        process_get_record(&record, pid);
        con_printf("\n%i       ", record.pid);
        con_printf(record.type < 3 ? TYPE_LABELS[record.type] : UNKNOWN_TYPE_LABEL);
        con_printf("%s", record.name);
    }
}

void cmd_ldbmp()
{
    con_set_color(COLOR_LIGHT_CYAN);
    con_puts("\nThe max dimensions of the bitmap must be less than or equal 320x200 and it must be 8-bit");
    con_puts(" . After the bitmap is loaded , press any key to return.");
    char* path = shell_ask("\nPlease enter the path of the bitmap > ", PATH_MAX);
    if (path == nullptr) {
        return;
    }
    const int32_t result = bmp_render(path, 0, 0, 0, 1);
    if (result == STATUS_OK) {
        shell_wait_key();
        vga_set_mode(0, 0);
    } else {
        con_set_color(COLOR_LIGHT_RED);
        speaker_beep();
        if (result == STATUS_OUT_OF_MEMORY) {
            con_puts("\nNot enough memory.");
        }
        con_puts("\nInvalid file.");
    }
    heap_free(path);
}
