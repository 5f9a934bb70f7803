// The command shell: prompt, read one line, run the command whose word it
// is, for ever. Commands take no arguments on the line; those that need a
// value ask for it themselves.
#include "shell/shell.h"

#include "boot/version.h"
#include "cpu/fatal.h"
#include "cpu/timer.h"
#include "display/console.h"
#include "display/printf.h"
#include "drivers/machine.h"
#include "drivers/speaker.h"
#include "lib/cpu.h"
#include "lib/string.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "proc/process.h"
#include "shell/disk.h"
#include "shell/input.h"
#include "shell/procs.h"

namespace {

constexpr uint32_t LINE_BUFFER_BYTES = SHELL_LINE_MAX + 1;  // always room for the NUL
constexpr uint32_t BUFFER_RETRY_TICKS = 100;
constexpr uint32_t KB_SHIFT = 10;

void restart()
{
    con_set_color(COLOR_WHITE);
    if (!prompt_yes_no("Are you sure that you want to restart the computer ?")) {
        return;
    }
    con_set_color(COLOR_LIGHT_CYAN);
    con_puts("\n\n\nKVAL is restarting...");
    machine_restart();
    fatal_error("Restart Failed");
}

void shutdown()
{
    con_set_color(COLOR_WHITE);
    if (!prompt_yes_no("Are you sure that you want to shutdown the computer ?")) {
        return;
    }
    con_set_color(COLOR_LIGHT_CYAN);
    con_puts("\n\n\nKVAL is shutting down...");
    machine_power_off();
    con_set_bg_color(COLOR_BLUE);
    con_clear();
    con_puts("\nIt is safe to shutdown your computer now.");
    for (;;) {
    }
}

void cpuven()
{
    con_set_color(COLOR_LIGHT_CYAN);
    con_printf("\nThe vendor of the CPU is : %s", cpu_vendor());
}

void cls()
{
    con_set_colors(COLOR_YELLOW, COLOR_BLUE);
    con_clear();
}

void rdsec()
{
    cmd_rdsec(false);
}

void rdsecascii()
{
    cmd_rdsec(true);
}

void nothing() {}

struct Command {
    const char* word;
    void (*run)();
};

// Tried in this order; the first word equal to the whole line runs.
// clang-format off
constexpr Command COMMANDS[] = {
    {"restart", restart},
    {"ldbmp", cmd_ldbmp},
    {"rdfile", cmd_rdfile},
    {"upflpy", cmd_upflpy},
    {"procs", cmd_procs},
    {"kill", cmd_kill},
    {"cpuven", cpuven},
    {"cls", cls},
    {"shutdown", shutdown},
    {"mem", cmd_mem},
    {"dir", cmd_dir},
    {"ldapp", cmd_ldapp},
    {"beep", speaker_beep},
    {"help", cmd_help},
    {"about", cmd_about},
    {"rdsec", rdsec},
    {"rdsecascii", rdsecascii},
    {"", nothing},
};
// clang-format on

constexpr const char* HELP_LINES[] = {
    "\n   about      : Shows some information about KVAL.",
    "\n   beep       : Sends a sound (beep) from the PC speaker.",
    "\n   cls        : Clears the screen.",
    "\n   cpuven     : Shows the vendor of the CPU.",
    "\n   dir        : Prints the contents of a sepecific directory.",
    "\n   help       : Shows this message.",
    "\n   kill       : Kills a process.",
    "\n   ldapp      : Loads an application.",
    "\n   ldbmp      : Renders a bitmap to the screen.",
    "\n   mem        : Shows some information about the memory.",
    "\n   procs      : Shows a list of the running processes.",
    "\n   restart    : Restarts the computer.",
    "\n   shutdown   : Prepares your computer to be turned off.",
    "\n   rdfile     : Reads a file from the floppy disk.",
    "\n   rdsec      : Reads a sector from the floppy disk and show it in hex.",
    "\n   rdsecascii : Reads a sector fron the floppy disk and show it in ASCII.",
    "\n   upflpy     : Updates the saved data of the floppy.",
    "\n               You must use this command when you change the floppy disk.",
    "\nNote that the command will be accepted only if you entered it in the lower case.",
    "\nPressing CTRL + ENTER at any time will force the CLI to appear, you can use that\n",
    "feature when you need to perform terminating or fixing to any application at any\n",
    "time when you lose the access to the CLI.",
};

// The line buffer lives as long as the shell. Should the heap have no 101
// bytes, the shell says so and tries again a second later rather than
// reading into nothing.
char* line_buffer_alloc()
{
    for (;;) {
        auto* buffer = static_cast<char*>(heap_alloc(LINE_BUFFER_BYTES));
        if (buffer != nullptr) {
            return buffer;
        }
        con_set_color(COLOR_LIGHT_RED);
        speaker_beep();
        con_puts("\nNot enough memory.");
        timer_sleep(BUFFER_RETRY_TICKS);
    }
}

}  // namespace

void shell_main()
{
    char* line = line_buffer_alloc();
    for (;;) {
        // The focus comes back only from another process, after a tick.
        cpu_wait_until([] { return console_focus_is_shell() != 0; });
        con_set_color(COLOR_YELLOW);
        con_puts("\nKVAL >");
        mem_set(line, 0, LINE_BUFFER_BYTES);
        // An application that takes the console and gives it back (or
        // CTRL+ENTER) ends this wait: the half-typed line is dropped and a
        // fresh prompt follows.
        if (line_read_until_refocus(line, SHELL_LINE_MAX, console_focus_returns()) < 0) {
            continue;
        }
        shell_execute(line);
    }
}

void shell_execute(const char* line)
{
    for (const Command& command : COMMANDS) {
        if (str_compare(line, command.word) == 0) {
            command.run();
            return;
        }
    }
    con_set_color(COLOR_LIGHT_RED);
    speaker_beep();
    con_puts("\n'");
    con_puts(line);
    con_puts("' is unknown command ");
}

void cmd_mem()
{
    con_set_color(COLOR_LIGHT_CYAN);
    con_printf("\nMemory Size = %i KB", pmm_memory_size(false) >> KB_SHIFT);
    con_printf("\nFree Size   = %i KB", pmm_free_size(false) >> KB_SHIFT);
    con_printf("\nUsed Size   = %i KB", pmm_used_size(false) >> KB_SHIFT);
}

void cmd_help()
{
    con_set_color(COLOR_LIGHT_CYAN);
    con_printf("\n%s Version %s Help :", KVAL_NAME, KVAL_VERSION);
    for (const char* line : HELP_LINES) {
        con_puts(line);
    }
}

void cmd_about()
{
    con_set_color(COLOR_LIGHT_CYAN);
    con_printf("\n%s Version %s", KVAL_NAME, KVAL_VERSION);
    con_printf("\nDeveloped By : %s", KVAL_CREDIT);
    con_puts("\n\nThis software is provided \"as is\", without warranty of any kind. You use it");
    con_puts("\nat your own risk; see its licence for what you may do with it.\n");
    con_printf("\nContact : %s", KVAL_CONTACT);
    con_printf("\nCopyright (C) %s %s.", KVAL_YEAR, KVAL_CREDIT);
}
