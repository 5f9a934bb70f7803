// fatal_error, the one exit for unrecoverable errors. An error that belongs
// to a running application ends only that application; any other error
// replaces the screen with the fatal error report and stops the processor.
#include "cpu/fatal.h"

#include "display/console.h"
#include "display/printf.h"
#include "lib/cpu.h"
#include "proc/exe.h"
#include "proc/process.h"

namespace {

// ---- the banner: FATAL in block letters ----

constexpr char BLOCK = '\xDB';  // code page 437 full block
constexpr char SPACE = ' ';

struct Run {
    char glyph;
    uint8_t length;
};

constexpr int32_t MAX_RUNS = 13;
struct GlyphRow {
    Run runs[MAX_RUNS];  // unused runs have length 0
};

constexpr Run B(uint8_t n)
{
    return {BLOCK, n};
}
constexpr Run S(uint8_t n)
{
    return {SPACE, n};
}

constexpr int32_t GLYPH_ROWS = 7;
constexpr GlyphRow banner_rows[GLYPH_ROWS] = {
    {{B(5), S(1), B(5), S(1), B(6), S(1), B(5), S(1), B(2)}},
    {{B(5), S(1), B(5), S(1), B(6), S(1), B(5), S(1), B(2)}},
    {{B(2), S(4), B(2), S(1), B(2), S(3), B(2), S(3), B(2), S(1), B(2), S(1), B(2)}},
    {{B(4), S(2), B(5), S(3), B(2), S(3), B(5), S(1), B(2)}},
    {{B(4), S(2), B(5), S(3), B(2), S(3), B(5), S(1), B(2)}},
    {{B(2), S(4), B(2), S(1), B(2), S(3), B(2), S(3), B(2), S(1), B(2), S(1), B(5)}},
    {{B(2), S(4), B(2), S(1), B(2), S(3), B(2), S(3), B(2), S(1), B(2), S(1), B(5)}},
};

constexpr uint32_t BANNER_INDENT = 26;
// Tabs print nothing on the console: the lead-in and the row trailers only
// leave their two spaces behind.
constexpr const char BANNER_LEAD_IN[] = "\n\t\t\t\t  \n";
constexpr const char BANNER_ROW_END[] = "\t\t\t\t  \n";

struct BannerWriter {
    char* out;
    uint32_t length;
    constexpr void put(char c)
    {
        if (out != nullptr) {
            out[length] = c;
        }
        ++length;
    }
    constexpr void put(const char* s)
    {
        while (*s != 0) {
            put(*s++);
        }
    }
};

// Writes the banner into `out`, or only counts it when `out` is null.
constexpr uint32_t write_banner(char* out)
{
    BannerWriter writer{out, 0};
    writer.put(BANNER_LEAD_IN);
    for (int32_t row = 0; row < GLYPH_ROWS; ++row) {
        for (uint32_t i = 0; i < BANNER_INDENT; ++i) {
            writer.put(SPACE);
        }
        for (const Run& run : banner_rows[row].runs) {
            for (uint8_t i = 0; i < run.length; ++i) {
                writer.put(run.glyph);
            }
        }
        if (row + 1 < GLYPH_ROWS) {
            writer.put(BANNER_ROW_END);
        }
    }
    writer.put('\0');
    return writer.length;
}

constexpr uint32_t BANNER_SIZE = write_banner(nullptr);

struct BannerText {
    char text[BANNER_SIZE];
};

constexpr BannerText make_banner()
{
    BannerText banner{};
    write_banner(banner.text);
    return banner;
}

constexpr BannerText banner = make_banner();

// ---- the report ----

constexpr uint8_t REPORT_FG = COLOR_YELLOW;
constexpr uint8_t REPORT_BG = COLOR_BLUE;
constexpr uint8_t BANNER_COLOR = COLOR_LIGHT_RED;
constexpr uint8_t EXPLANATION_COLOR = COLOR_LIGHT_CYAN;
constexpr uint8_t ERROR_COLOR = COLOR_LIGHT_RED;

void draw_kernel_report(const char* message)
{
    con_set_colors(REPORT_FG, REPORT_BG);
    con_clear();
    con_set_color(BANNER_COLOR);
    con_puts(fatal_banner);
    con_set_color(EXPLANATION_COLOR);
    con_puts(fatal_explanation);
    con_set_color(ERROR_COLOR);
    // The message goes out verbatim: a '%' in it is not a conversion.
    con_puts("\n\n[KVAL] : Fatal Error : ");
    con_puts(message);
}

// Prints at the cursor, on whatever the application left on the screen.
void report_application_error(const char* name, const char* message)
{
    const uint8_t kept_color = con_get_color();
    con_set_color(ERROR_COLOR);
    con_printf("\n\n[KVALDBG] : KVAL detected an error in the application (%s)", name);
    con_puts("\nSo KVAL terminated it to protect your computer.\nERROR : ");
    con_puts(message);
    con_puts("\n\n");
    con_set_color(kept_color);
}

constexpr uint32_t SYSCALL_EXIT = 1;

}  // namespace

const char* const fatal_banner = banner.text;
const char* const fatal_explanation =
    "\n\nKestrel Vale (KVAL) detected an error and it turned off itself to"
    "\n\t\t\t\t   protect your computer from demage."
    "\n\n\t\t\t\t   Please report this error to the Kestrel Vale developers,"
    "\n\t\t\t\t   kval-developers@example.org";

void fatal_error(const char* message)
{
    if (message == nullptr) {
        message = "";
    }

    // Start-up, or switching is off: no process to blame.
    if (scheduler_is_enabled() == 0) {
        draw_kernel_report(message);
        cpu_stop();
    }

    // Switching off first, so the current process cannot change while its
    // record is read.
    scheduler_set_enabled(0);
    ProcessRecord record;
    process_get_record(&record, process_current_pid());
    // The record is a copy; its name need not be terminated in the table.
    record.name[sizeof(record.name) - 1] = '\0';

    if (record.type != PROCESS_APPLICATION) {
        draw_kernel_report(message);
        con_printf("\n[KVAL] : The Name of the Process : %s", record.name);
        cpu_stop();
    }

    report_application_error(record.name, message);
    // A fault while the program was still being read: the shell waiting for
    // the start hears of it.
    exe_abandon_start(record.pid);
    // Switching back on before interrupts: the exit call marks this process
    // for the system process to reap, and the next switch leaves it for good.
    scheduler_set_enabled(1);
    interrupts_enable();
    cpu_syscall(SYSCALL_EXIT);
    cpu_stop();
}
