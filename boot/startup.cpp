// Start-up: the fixed sequence from the loader's hand-over to the idle loop.
// Phase 1 runs on the loader's stack with interrupts off; phase 2 and the
// welcome screen run on the kernel stack with interrupts on.
#include "boot/startup.h"

#include "boot/screens.h"
#include "boot/test_hook.h"
#include "boot/version.h"
#include "cpu/fatal.h"
#include "cpu/gdt.h"
#include "cpu/idt.h"
#include "cpu/pic.h"
#include "cpu/timer.h"
#include "cpu/tss.h"
#include "display/console.h"
#include "display/printf.h"
#include "display/vga.h"
#include "drivers/acpi.h"
#include "drivers/dma.h"
#include "drivers/floppy.h"
#include "drivers/keyboard.h"
#include "lib/cpu.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "mm/stack.h"
#include "mm/vmm.h"
#include "proc/process.h"
#include "proc/syscall.h"
#include "proc/sysdata.h"
#include "shell/shell.h"

namespace {

// "KVAL" in block letters: four 12 x 9 glyph cells, 4 spaces apart, drawn
// with full blocks (219); every stroke casts a two-column medium-shade (177)
// shadow on its right. '#' is a block and '+' a shade in these rows.
constexpr int LOGO_ROWS = 9;
constexpr int LOGO_WIDTH = 4 * 12 + 3 * 4;
// clang-format off
constexpr const char* LOGO_GLYPHS[LOGO_ROWS] = {
    "#++      #++    #++      #++    ##########++    #++         ",
    "#++     #++     #++      #++    #++      #++    #++         ",
    "#++   #++       #++      #++    #++      #++    #++         ",
    "#++ #++          #++    #++     #++      #++    #++         ",
    "#++#++           #++    #++     ##########++    #++         ",
    "#++ #++           #++  #++      #++      #++    #++         ",
    "#++   #++         #++  #++      #++      #++    #++         ",
    "#++     #++        #++#++       #++      #++    #++         ",
    "#++      #++        #++         #++      #++    ##########++",
};
// clang-format on

constexpr char FULL_BLOCK = static_cast<char>(219);
constexpr char MEDIUM_SHADE = static_cast<char>(177);

// The logo as one string: a newline, a line of four tabs and a space (tabs
// print nothing), then the nine glyph rows, each ending in one space, four
// tabs and one space, except the last, which ends in a space and two newlines.
constexpr int LOGO_GLYPH_ROW = 10 + LOGO_WIDTH;
constexpr int LOGO_LENGTH = 7 + LOGO_ROWS * LOGO_GLYPH_ROW + (LOGO_ROWS - 1) * 7 + 3;

struct LogoText {
    char text[LOGO_LENGTH + 1];
};

constexpr LogoText build_logo()
{
    LogoText logo{};
    int n = 0;
    for (const char* t = "\n\t\t\t\t \n"; *t != 0; ++t) {
        logo.text[n++] = *t;
    }
    for (int row = 0; row < LOGO_ROWS; ++row) {
        for (int i = 0; i < 10; ++i) {
            logo.text[n++] = ' ';
        }
        for (int col = 0; col < LOGO_WIDTH; ++col) {
            const char c = LOGO_GLYPHS[row][col];
            logo.text[n++] = c == '#' ? FULL_BLOCK : c == '+' ? MEDIUM_SHADE : ' ';
        }
        const bool last = row == LOGO_ROWS - 1;
        const char* trailer = last ? " \n\n" : " \t\t\t\t \n";
        for (const char* t = trailer; *t != 0; ++t) {
            logo.text[n++] = *t;
        }
    }
    logo.text[n] = 0;
    return logo;
}

constexpr LogoText WELCOME_LOGO = build_logo();
static_assert(WELCOME_LOGO.text[LOGO_LENGTH - 3] == ' ' && WELCOME_LOGO.text[LOGO_LENGTH - 1] == '\n');

constexpr int WELCOME_RULE_LENGTH = 40;

void kernel_main_on_kernel_stack();

}  // namespace

void kernel_main(const BootInfo* boot_info)
{
    // Both words are read before anything can overwrite the loader's block.
    const uint32_t kernel_size = boot_info->kernel_sectors << 9;
    const uint32_t memory_kb = boot_info->memory_kb;
    startup_phase1(kernel_size, memory_kb);
    cpu_switch_stack(KERNEL_STACK_TOP, kernel_main_on_kernel_stack);
}

namespace {

void kernel_main_on_kernel_stack()
{
    interrupts_enable();
    startup_phase2();
    welcome_screen();
    startup_test_hook(STARTUP_WELCOME);
    scheduler_set_enabled(1);
    // The idle loop. No halt: the first task switch discards this context.
    for (;;) {
        cpu_relax();
    }
}

}  // namespace

void startup_phase1(uint32_t kernel_size, uint32_t memory_kb)
{
    console_init();
    boot_banner();
    progress_step("Initializing CPU", 1);
    cpu_init();
    progress_step("Initializing RAM", 1);
    if (memory_kb < MINIMUM_RAM_KB) {
        fatal_error("Not Enough Memory , KVAL reguires at least 16MB of RAM");
    }
    progress_step("Initializing Hardware", 4);
    hardware_init();
    startup_test_hook(STARTUP_HARDWARE);

    progress_step("Initializing Memory Managers", 3);
    pmm_init(memory_kb, kernel_size, KERNEL_PHYSICAL_BASE);
    // The floppy's DMA buffer is the first allocation of all, so it lands
    // at 0x2000, below 64 KiB; a firmware memory map that defeats that must
    // not let disk data land anywhere else.
    dma_buffer_alloc();
    if (!dma_buffer_reachable()) {
        fatal_error("KVAL internal error [DMA buffer out of reach]");
    }
    if (!vmm_init()) {
        fatal_error("KVAL internal error [VMM init failed]");
    }
    // The double-fault task runs in the directory it was armed with: from
    // now on the kernel's own, not the boot loader's.
    tss_arm_double_fault();
    if (!heap_init()) {
        fatal_error("KVAL internal error [Heap init failed]");
    }
    progress_step("Initializing OS Environment", 1);
    if (!stack_init(KERNEL_STACK_BASE, KERNEL_STACK_PAGES)) {
        fatal_error("KVAL internal error [Stack init failed]");
    }
}

// The floating-point unit stays off: no state of it is saved across task
// switches, so with it on two programs would corrupt each other's numbers.
// With CR0.EM set an x87 instruction raises "Device Not Available" and an
// MMX or SSE one "Invalid Opcode", and the program that tried ends.
void cpu_init()
{
    if (!cpu_has_cpuid()) {
        fatal_error("Can not identify the CPU.");
    }
    cpu_write_cr0((cpu_read_cr0() | CR0_EM) & ~(CR0_MP | CR0_TS));
}

void hardware_init()
{
    gdt_init();
    idt_init();
    pic_remap();
    exceptions_install();
}

bool drivers_init()
{
    pit_init();
    sleep_timer_init();
    kbd_init();
    floppy_init();
    floppy_load_fat_cache(false);
    acpi_init();
    return vga_init_buffers();
}

void startup_phase2()
{
    progress_step("Initializing Drivers", 1);
    drivers_init();
    startup_test_hook(STARTUP_DRIVERS);
    progress_step("Initializing System Data", 49);
    if (!sysdata_init()) {
        fatal_error("KVAL internal error [KVALDC init failed]");
    }
    syscall_init();
    progress_step("Completing initialization", 10);
    if (!mt_init()) {
        fatal_error("KVAL internal error [MT init failed]");
    }
    constexpr uint32_t SHELL_IMAGE_SIZE = 1;  // two image pages, none of them mapped
    constexpr uint32_t SHELL_TIME_SLICE = 6;
    if (process_create("KVALCLI", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&shell_main)), SHELL_IMAGE_SIZE, 0,
                       SHELL_TIME_SLICE, PROCESS_SYSTEM) != 0) {
        fatal_error("KVAL internal error [CLI init failed]");
    }
    progress_step("Starting", 10);
    boot_splash();
}

void welcome_screen()
{
    con_set_colors(COLOR_WHITE, COLOR_BLUE);
    con_clear();
    con_puts("\nIn The Name Of Allah, The Most Gracious, The Most Merciful");
    con_puts(WELCOME_LOGO.text);
    con_set_color(COLOR_LIGHT_GREEN);
    con_printf("%s Version %s", KVAL_NAME, KVAL_VERSION);
    con_printf("\nDeveloped By : %s", KVAL_CREDIT);
    con_puts("\nType \"help\" for help.\n");
    con_puts("PLEASE NOTE : You must use the command \"upflpy\" when you change the floppy disk.\n");
    con_set_color(COLOR_WHITE);
    for (int i = 0; i < WELCOME_RULE_LENGTH; ++i) {
        con_putc('*');
    }
}
