// Start-up checks of the test build of the image (never in the release
// image). The system tests choose them with QEMU's firmware configuration
// device (-fw_cfg name=opt/kval/test,string=CMD;CMD=ARG...) and read the
// results from the debug console port 0xE9 (-debugcon), one "KVALTEST" line
// per result.
#include <stdint.h>

#include <utility>

#include "boot/test_hook.h"
#include "cpu/timer.h"
#include "drivers/floppy.h"
#include "drivers/keyboard.h"
#include "drivers/speaker.h"
#include "fs/fat12.h"
#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/port.h"
#include "lib/string.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "proc/process.h"

namespace {

// ---- QEMU firmware configuration device (I/O ports 0x510 selector, 0x511 data) ----
constexpr uint16_t FW_CFG_SELECTOR = 0x510;
constexpr uint16_t FW_CFG_DATA = 0x511;
constexpr uint16_t FW_CFG_SIGNATURE = 0x0000;
constexpr uint16_t FW_CFG_FILE_DIR = 0x0019;
constexpr uint16_t DEBUG_CONSOLE = 0xE9;
constexpr const char* COMMAND_FILE = "opt/kval/test";

char commands[512];
bool commands_loaded = false;

uint32_t fw_cfg_read_be32()
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v = (v << 8) | port_in8(FW_CFG_DATA);
    }
    return v;
}

void load_commands()
{
    commands_loaded = true;
    port_out16(FW_CFG_SELECTOR, FW_CFG_SIGNATURE);
    const char signature[4] = {'Q', 'E', 'M', 'U'};
    for (char c : signature) {
        if (port_in8(FW_CFG_DATA) != static_cast<uint8_t>(c)) {
            return;
        }
    }
    port_out16(FW_CFG_SELECTOR, FW_CFG_FILE_DIR);
    const uint32_t files = fw_cfg_read_be32();
    for (uint32_t f = 0; f < files; ++f) {
        const uint32_t size = fw_cfg_read_be32();
        const uint16_t select = static_cast<uint16_t>((port_in8(FW_CFG_DATA) << 8) | port_in8(FW_CFG_DATA));
        port_in8(FW_CFG_DATA);  // reserved
        port_in8(FW_CFG_DATA);
        char name[56];
        for (char& c : name) {
            c = static_cast<char>(port_in8(FW_CFG_DATA));
        }
        name[55] = 0;
        if (str_compare(name, COMMAND_FILE) == 0) {
            port_out16(FW_CFG_SELECTOR, select);
            const uint32_t n = size < sizeof(commands) - 1 ? size : sizeof(commands) - 1;
            for (uint32_t i = 0; i < n; ++i) {
                commands[i] = static_cast<char>(port_in8(FW_CFG_DATA));
            }
            commands[n] = 0;
            return;
        }
    }
}

// ---- debug console output ----
void out(const char* s)
{
    while (*s != 0) {
        port_out8(DEBUG_CONSOLE, static_cast<uint8_t>(*s++));
    }
}

void out_dec(uint32_t v)
{
    char digits[11];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) {
        port_out8(DEBUG_CONSOLE, static_cast<uint8_t>(digits[--n]));
    }
}

void out_hex_bytes(const uint8_t* bytes, uint32_t count)
{
    constexpr const char* HEX = "0123456789abcdef";
    for (uint32_t i = 0; i < count; ++i) {
        port_out8(DEBUG_CONSOLE, static_cast<uint8_t>(HEX[bytes[i] >> 4]));
        port_out8(DEBUG_CONSOLE, static_cast<uint8_t>(HEX[bytes[i] & 0xF]));
    }
}

void out_hex(uint32_t v)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    out("0x");
    out_hex_bytes(bytes, 4);
}

// ---- command list: "name=arg;name;..." ----
// Copies the text from *cursor up to any character of `stops` (or the end)
// into `out`, cut to fit `size`, and leaves *cursor on that stop character.
void take_token(const char** cursor, const char* stops, char* out, uint32_t size)
{
    const char* p = *cursor;
    uint32_t n = 0;
    while (*p != 0 && str_find_char(stops, *p) == nullptr) {
        if (n + 1 < size) {
            out[n++] = *p;
        }
        ++p;
    }
    out[n] = 0;
    *cursor = p;
}

// Steps over `separator` when *cursor stands on it.
void skip(const char** cursor, char separator)
{
    if (**cursor == separator) {
        ++*cursor;
    }
}

// Finds the next command at or after *cursor; copies name and argument.
bool next_command(const char** cursor, char* name, uint32_t name_size, char* arg, uint32_t arg_size)
{
    if (**cursor == 0) {
        return false;
    }
    take_token(cursor, "=;", name, name_size);
    arg[0] = 0;
    if (**cursor == '=') {
        ++*cursor;
        take_token(cursor, ";", arg, arg_size);
    }
    skip(cursor, ';');
    return true;
}

uint32_t parse_number(const char* s)
{
    return static_cast<uint32_t>(str_to_int(s));
}

// ---- software interrupts: INT takes its vector as an immediate ----
template <int VECTOR>
void software_interrupt()
{
    asm volatile("int %0" : : "i"(VECTOR) : "memory");
}

template <int... V>
constexpr auto make_interrupt_table(std::integer_sequence<int, V...>)
{
    using Raise = void (*)();
    struct Table {
        Raise entries[sizeof...(V)];
    };
    return Table{{&software_interrupt<V>...}};
}

constexpr auto INTERRUPTS = make_interrupt_table(std::make_integer_sequence<int, 256>{});

void software_interrupt(uint32_t vector)
{
    INTERRUPTS.entries[vector & 0xFF]();
}

void raise_exception(uint32_t vector)
{
    switch (vector) {
        case 0:  // a real division by zero
            asm volatile("xor %%ecx, %%ecx\n\tmov $1, %%eax\n\txor %%edx, %%edx\n\tdiv %%ecx"
                         :
                         :
                         : "eax", "ecx", "edx");
            break;
        case 6:  // a real invalid opcode
            asm volatile("ud2");
            break;
        case 13:  // a real general protection fault: slot 5 of the GDT is empty
            asm volatile("mov $0x28, %%ax\n\tmov %%ax, %%ds" : : : "eax");
            break;
        default:
            software_interrupt(vector);
            break;
    }
}

// ---- checks ----
void check_frames()
{
    const MemoryRange* ranges = phys_as<MemoryRange>(MEMORY_MAP_ADDRESS);
    uint32_t allocated = 0;
    uint32_t outside = 0;
    for (uint32_t frame = pmm_alloc_frame(); frame != 0; frame = pmm_alloc_frame()) {
        ++allocated;
        bool usable = false;
        for (uint32_t i = 0; i < MEMORY_MAP_MAX_ENTRIES; ++i) {
            if (i > 0 && ranges[i].base == 0) {
                break;
            }
            const uint64_t start = ranges[i].base;
            const uint64_t end = start + ranges[i].length;
            if (ranges[i].type == 1 && frame >= start && frame + uint64_t{PAGE_SIZE} <= end) {
                usable = true;
            }
        }
        const bool in_hole = frame >= 0xA0000 && frame < 0x100000;  // VGA memory and firmware
        if (!usable || in_hole) {
            ++outside;
        }
    }
    out("KVALTEST frames allocated=");
    out_dec(allocated);
    out(" outside=");
    out_dec(outside);
    out("\nKVALTEST memory_kb=");
    out_dec(pmm_memory_size(false) / 1024);
    out("\n");
}

uint8_t sector[SECTOR_SIZE];

void read_sectors(const char* list)
{
    floppy_motor(true);
    const char* p = list;
    while (*p != 0) {
        char number[12];
        take_token(&p, ",", number, sizeof(number));
        skip(&p, ',');
        const uint32_t block = parse_number(number);
        out("KVALTEST sector ");
        out_dec(block);
        if (floppy_read_sector(static_cast<uint16_t>(block), sector)) {
            out(" ");
            out_hex_bytes(sector, SECTOR_SIZE);
        } else {
            out(" failed");
        }
        out("\n");
    }
    floppy_motor(false);
}

void read_file(char* path)
{
    FileInfo file = fat_open(path);
    out("KVALTEST file status=");
    if (file.status != FS_OK || file.directory != 0) {
        out_dec(static_cast<uint8_t>(file.status));
        out("\n");
        return;
    }
    // Data goes out as it is read; the size bounds it, and a corrupt chain
    // that loops ends once round, as in every reader.
    out("0 size=");
    out_dec(file.size);
    out(" data=");
    floppy_motor(true);
    uint32_t remaining = file.size;
    uint32_t clusters = 0;
    FatChainSeen seen{};
    while (file.end == 0) {
        file = fat_read_chain(file, sector, &seen);
        if (file.status != FS_OK && file.status != FS_END_OF_CHAIN) {
            break;
        }
        ++clusters;
        const uint32_t n = remaining < SECTOR_SIZE ? remaining : SECTOR_SIZE;
        out_hex_bytes(sector, n);
        remaining -= n;
    }
    floppy_motor(false);
    out(" clusters=");
    out_dec(clusters);
    out(" end_status=");
    out_dec(static_cast<uint8_t>(file.status));
    out("\n");
}

void report_caches()
{
    out("KVALTEST root_cache ");
    if (floppy_root_cache() != nullptr) {
        out_hex_bytes(floppy_root_cache(), (ROOT_LAST_BLOCK - ROOT_FIRST_BLOCK + 1) * SECTOR_SIZE);
    } else {
        out("missing");
    }
    out("\nKVALTEST fat_cache ");
    if (floppy_fat_cache() != nullptr) {
        out_hex_bytes(floppy_fat_cache(), floppy_fat_cache_blocks() * SECTOR_SIZE);
    } else {
        out("missing");
    }
    out("\n");
}

// Where the heap puts a block, and where the floppy caches it holds live.
void report_heap()
{
    void* block = heap_alloc(100);
    out("KVALTEST heap block=");
    out_hex(reinterpret_cast<uint32_t>(block));
    out(" root_cache=");
    out_hex(reinterpret_cast<uint32_t>(floppy_root_cache()));
    out(" fat_cache=");
    out_hex(reinterpret_cast<uint32_t>(floppy_fat_cache()));
    out("\n");
    heap_free(block);
}

void echo_keys(uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        const KeyCode key = kbd_wait_key();
        out("KVALTEST key ");
        out_hex(key);
        out(" char ");
        out_hex(static_cast<uint8_t>(kbd_key_to_char(key)));
        out("\n");
    }
}

// ---- processes ----
// A process of time slice 0 holds the processor for one tick per turn. The
// jump of a running clock between two of its turns is that tick and what
// the others held; the last slice count it finds is that of the process
// before it in the rotation.
constexpr uint32_t MONITOR_TURNS = 8;
volatile uint8_t victim_ran = 0;

void victim_main()
{
    victim_ran = 1;
    process_set_state(process_current_pid(), PROCESS_KILL_REQUESTED);
    for (;;) {
        cpu_relax();
    }
}

void monitor_main()
{
    const int32_t clock = timer_create(1, 0);
    uint32_t seen = timer_get_count(clock);
    for (uint32_t turns = 0; turns < MONITOR_TURNS;) {
        const uint32_t now = timer_get_count(clock);
        if (now - seen > 1) {
            out("KVALTEST turn gap=");
            out_dec(now - seen);
            out(" previous=");
            out_dec(last_slice_ticks_get());
            out("\n");
            ++turns;
        }
        seen = now;
        cpu_relax();
    }
    // A process created, run and marked comes and goes without a trace.
    const uint32_t frames = pmm_used_size(true);
    const uint32_t heap_bytes = heap_control_block()->used_bytes;
    const int32_t created =
        process_create("KVALVICT", reinterpret_cast<uintptr_t>(&victim_main), 1, 0, 3, PROCESS_APPLICATION);
    while (created == 0 && (victim_ran == 0 || process_is_active(3) != 0)) {
        cpu_relax();
    }
    out("KVALTEST reaped created=");
    out_dec(static_cast<uint32_t>(-created));
    out(" frames=");
    out_dec(frames);
    out(",");
    out_dec(pmm_used_size(true));
    out(" heap=");
    out_dec(heap_bytes);
    out(",");
    out_dec(heap_control_block()->used_bytes);
    out("\n");
    for (;;) {
        cpu_relax();
    }
}

void start_process(void (*main)())
{
    const int32_t created = process_create("KVALTEST", reinterpret_cast<uintptr_t>(main), 1, 0, 0, PROCESS_APPLICATION);
    out("KVALTEST process ");
    out_dec(static_cast<uint32_t>(-created));
    out("\n");
}

void run(StartupStage stage, const char* name, char* arg)
{
    const bool hardware = stage == STARTUP_HARDWARE;
    const bool drivers = stage == STARTUP_DRIVERS;
    const bool welcome = stage == STARTUP_WELCOME;
    if (hardware && str_compare(name, "raise") == 0) {
        raise_exception(parse_number(arg));
    } else if (drivers && str_compare(name, "read") == 0) {
        read_sectors(arg);
    } else if (drivers && str_compare(name, "file") == 0) {
        read_file(arg);
    } else if (drivers && str_compare(name, "pause") == 0) {
        // Lets the test change the machine (eject the disk) before the
        // commands that follow; a key press continues.
        out("KVALTEST pause\n");
        kbd_wait_key();
    } else if (drivers && str_compare(name, "caches") == 0) {
        report_caches();
    } else if (welcome && str_compare(name, "int") == 0) {
        software_interrupt(parse_number(arg));
        out("KVALTEST int ");
        out(arg);
        out(" returned\n");
    } else if (welcome && str_compare(name, "sleep") == 0) {
        out("KVALTEST sleep ");
        out(arg);
        out(" start\n");
        timer_sleep(parse_number(arg));
        out("KVALTEST sleep ");
        out(arg);
        out(" done\n");
    } else if (welcome && str_compare(name, "keys") == 0) {
        echo_keys(parse_number(arg));
    } else if (welcome && str_compare(name, "beep") == 0) {
        speaker_beep();
        out("KVALTEST beep done\n");
    } else if (welcome && str_compare(name, "heap") == 0) {
        report_heap();
    } else if (welcome && str_compare(name, "frames") == 0) {
        check_frames();
    } else if (welcome && str_compare(name, "sched") == 0) {
        start_process(monitor_main);
    }
}

}  // namespace

void startup_test_hook(StartupStage stage)
{
    if (!commands_loaded) {
        load_commands();
    }
    const char* cursor = commands;
    char name[32];
    char arg[256];
    if (stage == STARTUP_WELCOME) {
        out("KVALTEST welcome\n");
    }
    while (next_command(&cursor, name, sizeof(name), arg, sizeof(arg))) {
        run(stage, name, arg);
    }
}
