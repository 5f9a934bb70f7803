// The process table and its scheduler, the creation and termination of
// processes, and the console focus. At most five processes, slot index =
// PID: the system process in slot 0, the shell in slot 1, applications in 2-4.
#pragma once

#include <stdint.h>

#include "drivers/keyboard.h"
#include "fs/fat12.h"

constexpr uint32_t MAX_PROCESSES = 5;
constexpr uint32_t MAX_PID = MAX_PROCESSES - 1;
constexpr uint32_t SYSTEM_PID = 0;  // "KVALSYS"
constexpr uint32_t SHELL_PID = 1;   // "KVALCLI"
constexpr uint32_t FIRST_APPLICATION_PID = 2;

enum ProcessType : uint32_t {
    PROCESS_SYSTEM = 0,
    PROCESS_DRIVER = 1,
    PROCESS_APPLICATION = 2,
};

enum ProcessState : uint32_t {
    PROCESS_NORMAL = 0,
    PROCESS_KILL_REQUESTED = 2,  // the system process will terminate it
};

constexpr uint32_t PROCESS_NAME_MAX = 13;  // characters, without the NUL

// The scheduler stack: two pages in the kernel directory, and so in every
// process's copy of it. The timer stub switches to its top before task_switch.
constexpr uint32_t SCHED_STACK_BASE = 0xCA000000;
constexpr uint32_t SCHED_STACK_PAGES = 2;
constexpr uint32_t SCHED_STACK_TOP = 0xCA001FE0;

// The stack of every created process: two pages at 0x90000000. A record that
// never ran resumes with ESP = esp + 12 and EBP = esp.
constexpr uint32_t PROCESS_STACK_BASE = 0x90000000;
constexpr uint32_t PROCESS_STACK_PAGES = 2;
constexpr uint32_t PROCESS_STACK_ESP = 0x90001FE0;

struct [[gnu::packed]] ProcessRecord {
    uint32_t pid;
    char name[14];
    uint8_t active;
    uint32_t state;
    uint32_t eax, ebx, ecx, edx, esi, edi;
    uint16_t cs;
    uint16_t ds, es, fs, gs, ss;
    uint32_t esp;  // the processor's EIP, CS, EFLAGS words of the interruption
    uint32_t ebp;
    uint32_t eip;
    uint32_t eflags;
    uint32_t page_directory;
    uint32_t image_pages;
    uint32_t reserved;
    uint32_t type;
    uint32_t time_slice;
    uint32_t stack_base;
    uint32_t stack_pages;
    uint8_t has_image;
    uint32_t image_base;
    FileInfo file_info;
};
// task_resume (cpu/isr.asm) reads eax-edi, esp, ebp, eip and eflags at these
// offsets.
static_assert(sizeof(ProcessRecord) == 133);
static_assert(__builtin_offsetof(ProcessRecord, name) == 4);
static_assert(__builtin_offsetof(ProcessRecord, active) == 18);
static_assert(__builtin_offsetof(ProcessRecord, state) == 19);
static_assert(__builtin_offsetof(ProcessRecord, eax) == 23);
static_assert(__builtin_offsetof(ProcessRecord, ebx) == 27);
static_assert(__builtin_offsetof(ProcessRecord, ecx) == 31);
static_assert(__builtin_offsetof(ProcessRecord, edx) == 35);
static_assert(__builtin_offsetof(ProcessRecord, esi) == 39);
static_assert(__builtin_offsetof(ProcessRecord, edi) == 43);
static_assert(__builtin_offsetof(ProcessRecord, cs) == 47);
static_assert(__builtin_offsetof(ProcessRecord, esp) == 59);
static_assert(__builtin_offsetof(ProcessRecord, ebp) == 63);
static_assert(__builtin_offsetof(ProcessRecord, eip) == 67);
static_assert(__builtin_offsetof(ProcessRecord, eflags) == 71);
static_assert(__builtin_offsetof(ProcessRecord, page_directory) == 75);
static_assert(__builtin_offsetof(ProcessRecord, type) == 87);
static_assert(__builtin_offsetof(ProcessRecord, time_slice) == 91);
static_assert(__builtin_offsetof(ProcessRecord, has_image) == 103);
static_assert(__builtin_offsetof(ProcessRecord, image_base) == 104);
static_assert(__builtin_offsetof(ProcessRecord, file_info) == 108);

// The interrupted stack as the timer stub leaves it: PUSHAD's eight words
// (EDI lowest), then the processor's EIP, CS and EFLAGS.
struct [[gnu::packed]] TickFrame {
    uint32_t edi, esi, ebp;
    uint32_t esp;  // before PUSHAD: the address of the processor's words
    uint32_t ebx, edx, ecx, eax;
    uint32_t eip, cs, eflags;
};
static_assert(sizeof(TickFrame) == 44);
static_assert(__builtin_offsetof(TickFrame, esp) == 12);
static_assert(__builtin_offsetof(TickFrame, eax) == 28);
static_assert(__builtin_offsetof(TickFrame, eip) == 32);
static_assert(__builtin_offsetof(TickFrame, eflags) == 40);

// ---- the table and the scheduler ----
bool mt_init();
bool process_table_has_room();
uint32_t process_current_pid();
uint8_t process_is_active(uint32_t pid);
// The whole record of slot `pid`, or of the current process when pid > 4;
// a zeroed record while there is no table.
ProcessRecord* process_get_record(ProcessRecord* out, uint32_t pid);
// 0, or -11 for a PID above 4. Marks active and inactive slots alike.
int32_t process_set_state(uint32_t pid, uint32_t state);
void scheduler_set_enabled(uint8_t flag);
uint8_t scheduler_is_enabled();
uint32_t process_current_time_slice();
// Saves the interrupted process into its record (nothing on the first
// switch), picks the next active slot after the current one (slot 0 after
// the highest), loads its page directory and returns its record, which
// task_resume then enters.
const ProcessRecord* scheduler_next(const TickFrame* frame);
// Enters the current process afresh at `entry`, on the top of its own
// stack and in its own address space, with no registers, interrupts on and
// its interrupted context abandoned: for a context that has no stack left
// to run on.
[[noreturn]] void process_restart_current(void (*entry)());
bool system_process_create();
[[noreturn]] void system_process_main();

// ---- creation and termination ----
int32_t process_add(ProcessRecord record);
int32_t process_create(const char* name, uint32_t entry, uint32_t image_size, uint32_t initial_edx, uint32_t time_slice,
                       uint32_t type);
int32_t process_terminate(uint32_t pid);
// The address space of every created process: a directory with a copy of
// the kernel's mappings and the two-page stack at 0x90000000. 0, -6 (no
// directory frames), -17 (the copy failed ten times) or -1 (no stack); on
// failure nothing is left behind.
int32_t process_space_create(uint32_t* directory);
// Its undoing: the stack unmapped and released, the directory freed.
void process_space_free(uint32_t directory);
// A record of a process that has not run yet, on that standard stack.
ProcessRecord process_record_new(const char* name, uint32_t entry, uint32_t directory, uint32_t initial_edx,
                                 uint32_t time_slice, uint32_t type);
void process_reap_marked();

// ---- the console focus ----
void console_focus_set(uint8_t to_shell);
uint8_t console_focus_is_shell();
uint32_t console_focus_owner();
// How many times the console has come back to the shell from an application.
uint32_t console_focus_returns();
// 1 when `pid` holds the console: the shell while it has it, an application
// while it is the owner and the shell does not have it.
uint8_t console_focus_held_by(uint32_t pid);
// The one key wait of every process: takes a key only while the calling
// process holds the console, and leaves the slot alone otherwise. The shell
// waits for the console to come back; an application gives up with KEY_NONE
// as soon as it no longer holds it. With `returns_seen`, the shell gives up
// too once the console has come back to it since that count was read.
KeyCode console_focus_wait_key(const uint32_t* returns_seen);
