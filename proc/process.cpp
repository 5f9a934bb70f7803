// The process table, the round-robin scheduler the timer tick drives, the
// admission and termination of processes, the system process and the
// console focus. One processor and no locks: the only preemption is the
// tick, and only while switching is enabled.
#include "proc/process.h"

#include "cpu/gdt.h"
#include "cpu/isr.h"
#include "cpu/timer.h"
#include "drivers/keyboard.h"
#include "drivers/speaker.h"
#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/status.h"
#include "lib/string.h"
#include "mm/heap.h"
#include "mm/stack.h"
#include "mm/vmm.h"

// The timer stub loads ESP from here before it calls task_switch.
extern "C" const uint32_t sched_stack_top = SCHED_STACK_TOP;

namespace {

ProcessRecord* process_table = nullptr;  // MAX_PROCESSES records in the kernel heap
uint32_t current_pid = 0;
uint32_t process_count = 0;
uint8_t scheduler_enabled = 0;     // ticks switch tasks only while this is exactly 1
uint8_t first_switch_pending = 1;  // the next switch drops the interrupted context
uint8_t shell_has_console = 1;
uint32_t console_owner_pid = 0;
uint32_t focus_returns = 0;  // times the console came back to the shell from an application

constexpr uint32_t FREE_SLOT_TYPE = PROCESS_APPLICATION;
constexpr uint32_t FREE_SLOT_TIME_SLICE = 3;
constexpr uint32_t SYSTEM_TIME_SLICE = 1;
constexpr uint32_t SYSTEM_IMAGE_PAGES = 2;
constexpr int COPY_ATTEMPTS = 10;
// The last two bytes of a region are left as they are when it is cleared.
constexpr uint32_t CLEAR_SPARED_BYTES = 2;

// The registers and selectors a slot holds while nothing runs in it.
void clear_context(ProcessRecord& slot)
{
    mem_set(slot.name, 0, sizeof slot.name);
    slot.eax = slot.ebx = slot.ecx = slot.edx = slot.esi = slot.edi = 0;
    slot.cs = 0;
    slot.ds = slot.es = slot.fs = slot.gs = slot.ss = 0;
    slot.esp = slot.ebp = slot.eip = slot.eflags = 0;
}

// Everything but the PID, name, registers and selectors, as a free slot has it.
void reset_slot(ProcessRecord& slot)
{
    slot.page_directory = 0;
    slot.state = PROCESS_NORMAL;
    slot.image_pages = 0;
    slot.reserved = 0;
    slot.type = FREE_SLOT_TYPE;
    slot.time_slice = FREE_SLOT_TIME_SLICE;
    slot.has_image = 0;
    slot.image_base = 0;
    slot.stack_base = 0;
    slot.stack_pages = 0;
}

void init_free_slot(ProcessRecord& slot, uint32_t pid)
{
    mem_set(&slot, 0, sizeof slot);
    slot.pid = pid;
    slot.cs = KERNEL_CODE_SELECTOR;
    slot.ds = slot.es = slot.fs = slot.gs = slot.ss = KERNEL_DATA_SELECTOR;
    reset_slot(slot);
}

// At most 13 characters and a NUL, looking no further than the 14 bytes a
// record's name holds.
bool name_fits(const char* name)
{
    for (uint32_t i = 0; i <= PROCESS_NAME_MAX; ++i) {
        if (name[i] == 0) {
            return true;
        }
    }
    return false;
}

// A record's selectors as every process has them: code 8, data 16.
void set_kernel_selectors(ProcessRecord& record)
{
    record.cs = KERNEL_CODE_SELECTOR;
    record.ds = record.es = record.fs = record.gs = record.ss = KERNEL_DATA_SELECTOR;
}

bool required_fields_present(const ProcessRecord& r)
{
    return r.page_directory != 0 && r.stack_base != 0 && r.stack_pages != 0 && r.cs != 0 && r.ds != 0 && r.es != 0 &&
           r.fs != 0 && r.gs != 0 && r.ss != 0 && r.eip != 0 && r.esp != 0 && r.eflags != 0;
}

int32_t first_free_slot()
{
    for (uint32_t pid = 0; pid < MAX_PROCESSES; ++pid) {
        if (process_table[pid].active == 0 && process_table[pid].state == PROCESS_NORMAL) {
            return static_cast<int32_t>(pid);
        }
    }
    return -1;
}

void save_context(ProcessRecord& slot, const TickFrame* frame)
{
    slot.eax = frame->eax;
    slot.ebx = frame->ebx;
    slot.ecx = frame->ecx;
    slot.edx = frame->edx;
    slot.esi = frame->esi;
    slot.edi = frame->edi;
    slot.ebp = frame->ebp;
    slot.esp = frame->esp;
    slot.eip = frame->eip;
    slot.eflags = frame->eflags;
}

// The lowest active slot above the current one; slot 0 after the highest.
uint32_t next_slot()
{
    for (uint32_t pid = current_pid + 1; pid < MAX_PROCESSES; ++pid) {
        if (process_table[pid].active == 1) {
            return pid;
        }
    }
    return SYSTEM_PID;
}

// Whether the reaper has work: a slot marked for termination.
bool any_slot_marked()
{
    for (uint32_t pid = 0; pid < MAX_PROCESSES; ++pid) {
        if (process_table[pid].state == PROCESS_KILL_REQUESTED) {
            return true;
        }
    }
    return false;
}

// Zeroes a region of the loaded address space but for its last two bytes,
// then unmaps it, releasing its frames.
bool clear_and_unmap(uint32_t base, uint32_t pages, uint32_t directory)
{
    const uint32_t bytes = pages * PAGE_SIZE;
    if (bytes >= CLEAR_SPARED_BYTES) {
        mem_set(virt_ptr(base), 0, bytes - CLEAR_SPARED_BYTES);
    }
    return vmm_unmap_range(base, pages, directory);
}

}  // namespace

// ---- the table and the scheduler ----

bool mt_init()
{
    auto* table = static_cast<ProcessRecord*>(heap_alloc(MAX_PROCESSES * sizeof(ProcessRecord)));
    if (table == nullptr) {
        return false;
    }
    for (uint32_t pid = 0; pid < MAX_PROCESSES; ++pid) {
        init_free_slot(table[pid], pid);
    }
    process_table = table;
    process_count = 0;
    current_pid = SYSTEM_PID;
    scheduler_enabled = 0;
    first_switch_pending = 1;
    shell_has_console = 1;
    console_owner_pid = 0;
    focus_returns = 0;
    if (vmm_alloc_map(SCHED_STACK_BASE, SCHED_STACK_PAGES, false, vmm_kernel_directory()) != VMM_OK) {
        process_table = nullptr;
        heap_free(table);
        return false;
    }
    if (!system_process_create()) {
        vmm_unmap_free(SCHED_STACK_BASE, SCHED_STACK_PAGES, vmm_kernel_directory());
        process_table = nullptr;
        heap_free(table);
        return false;
    }
    return true;
}

bool process_table_has_room()
{
    return process_count != MAX_PROCESSES;
}

uint32_t process_current_pid()
{
    return current_pid;
}

uint8_t process_is_active(uint32_t pid)
{
    return process_table != nullptr && pid <= MAX_PID ? process_table[pid].active : 0;
}

ProcessRecord* process_get_record(ProcessRecord* out, uint32_t pid)
{
    if (process_table == nullptr) {
        mem_set(out, 0, sizeof(ProcessRecord));
        return out;
    }
    const uint32_t slot = pid <= MAX_PID ? pid : current_pid;
    mem_copy(out, &process_table[slot], sizeof(ProcessRecord));
    return out;
}

int32_t process_set_state(uint32_t pid, uint32_t state)
{
    if (pid > MAX_PID || process_table == nullptr) {
        return STATUS_INVALID_PID;
    }
    process_table[pid].state = state;
    return STATUS_OK;
}

void scheduler_set_enabled(uint8_t flag)
{
    scheduler_enabled = flag;
}

uint8_t scheduler_is_enabled()
{
    return scheduler_enabled;
}

uint32_t process_current_time_slice()
{
    return process_table != nullptr ? process_table[current_pid].time_slice : 0;
}

const ProcessRecord* scheduler_next(const TickFrame* frame)
{
    uint32_t next = SYSTEM_PID;
    if (first_switch_pending != 0) {
        first_switch_pending = 0;  // the start-up thread: nothing to save
    } else {
        save_context(process_table[current_pid], frame);
        next = next_slot();
    }
    current_pid = next;
    vmm_switch_directory(process_table[next].page_directory);
    return &process_table[next];
}

extern "C" void task_switch(const TickFrame* frame)
{
    task_resume(scheduler_next(frame));
}

void process_restart_current(void (*entry)())
{
    // The gap a fresh process leaves between its first ESP and the top.
    constexpr uint32_t STACK_TOP_GAP = PROCESS_STACK_BASE + PROCESS_STACK_PAGES * PAGE_SIZE - PROCESS_STACK_ESP;
    ProcessRecord& slot = process_table[current_pid];
    slot.eax = slot.ebx = slot.ecx = slot.edx = slot.esi = slot.edi = 0;
    slot.ebp = 0;
    slot.esp = slot.stack_base + slot.stack_pages * PAGE_SIZE - STACK_TOP_GAP;
    slot.eip = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(entry));
    // Nothing of the old flags: a trap or direction flag it set stays behind.
    slot.eflags = EFLAGS_RESERVED;
    vmm_switch_directory(slot.page_directory);
    task_resume(&slot);
}

bool system_process_create()
{
    ProcessRecord record{};
    str_copy(record.name, "KVALSYS");
    record.active = 1;
    set_kernel_selectors(record);
    record.eip = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&system_process_main));
    // The start-up thread is dropped at the first switch; the system process
    // goes on from this point of the kernel stack, downward.
    record.esp = cpu_stack_pointer();
    record.eflags = cpu_read_eflags();
    record.stack_base = KERNEL_STACK_BASE;
    record.stack_pages = KERNEL_STACK_PAGES;
    record.page_directory = vmm_kernel_directory();
    record.image_pages = SYSTEM_IMAGE_PAGES;
    record.type = PROCESS_SYSTEM;
    record.time_slice = SYSTEM_TIME_SLICE;
    return process_add(record) == STATUS_OK;
}

// CTRL+ENTER is noted by the keyboard interrupt itself, so a stroke shorter
// than this process's turn still counts; the Enter stays in the slot for the
// shell. Between passes the process halts until the next interrupt: a note
// comes with the keyboard's, and a mark only from another process, which
// ran after a tick.
void system_process_main()
{
    for (;;) {
        process_reap_marked();
        // Taking the note and moving the focus are one step: between them
        // the application would still hold the console with no note left
        // to keep it from the Enter.
        cpu_wait_until([] {
            if (kbd_take_ctrl_enter() != 0) {
                console_focus_set(1);
            }
            return any_slot_marked();
        });
    }
}

// ---- creation and termination ----

int32_t process_add(ProcessRecord record)
{
    if (process_count == MAX_PROCESSES) {
        return STATUS_TABLE_FULL;
    }
    const int32_t free_slot = first_free_slot();
    if (free_slot < 0) {
        return STATUS_TABLE_FULL;
    }
    if (!name_fits(record.name) || !required_fields_present(record)) {
        return STATUS_INVALID_RECORD;
    }
    if (record.has_image == 1) {
        if (record.file_info.size == 0 || record.file_info.status != 0) {
            return STATUS_INVALID_EXECUTABLE_RECORD;
        }
        if (record.image_pages == 0 || record.image_base == 0) {
            return STATUS_INVALID_RECORD;
        }
    }
    ProcessRecord& slot = process_table[free_slot];
    mem_copy(slot.name, record.name, sizeof slot.name);
    slot.eax = record.eax;
    slot.ebx = record.ebx;
    slot.ecx = record.ecx;
    slot.edx = record.edx;
    slot.esi = record.esi;
    slot.edi = record.edi;
    slot.cs = record.cs;
    slot.ds = record.ds;
    slot.es = record.es;
    slot.fs = record.fs;
    slot.gs = record.gs;
    slot.ss = record.ss;
    slot.esp = record.esp;
    slot.ebp = record.ebp;
    slot.eip = record.eip;
    slot.eflags = record.eflags;
    slot.page_directory = record.page_directory;
    slot.image_pages = record.image_pages;
    slot.time_slice = record.time_slice;
    slot.type = record.type;
    slot.stack_base = record.stack_base;
    slot.stack_pages = record.stack_pages;
    slot.has_image = record.has_image;
    if (record.has_image == 1) {
        slot.file_info = record.file_info;
        slot.image_base = record.image_base;
    }
    slot.reserved = 0;
    slot.state = PROCESS_NORMAL;
    slot.pid = static_cast<uint32_t>(free_slot);
    // Last of all: the tick may pick the slot from this store on, so no
    // store above may be moved after it.
    __atomic_signal_fence(__ATOMIC_RELEASE);
    slot.active = 1;
    ++process_count;
    return STATUS_OK;
}

int32_t process_space_create(uint32_t* directory_out)
{
    // Directories are reached by physical address: from the first 4 MiB.
    const uint32_t directory = vmm_alloc_paging_frames(DIRECTORY_FRAMES);
    if (directory == 0) {
        return STATUS_OUT_OF_MEMORY;
    }
    bool copied = false;
    for (int attempt = 0; attempt < COPY_ATTEMPTS && !copied; ++attempt) {
        copied = vmm_copy_mappings(directory, vmm_kernel_directory());
        if (!copied) {
            vmm_release_tables(directory);  // the tables of the failed attempt, and a zeroed page
        }
    }
    if (!copied) {
        pmm_free_frames(directory, DIRECTORY_FRAMES);
        return STATUS_MAPPING_FAILED;
    }
    if (vmm_alloc_map(PROCESS_STACK_BASE, PROCESS_STACK_PAGES, false, directory) != VMM_OK) {
        vmm_free_directory(directory, DIRECTORY_FRAMES);
        return STATUS_BAD_ARGUMENT;
    }
    *directory_out = directory;
    return STATUS_OK;
}

void process_space_free(uint32_t directory)
{
    vmm_unmap_free(PROCESS_STACK_BASE, PROCESS_STACK_PAGES, directory);
    vmm_free_directory(directory, DIRECTORY_FRAMES);
}

ProcessRecord process_record_new(const char* name, uint32_t entry, uint32_t directory, uint32_t initial_edx,
                                 uint32_t time_slice, uint32_t type)
{
    ProcessRecord record{};
    for (uint32_t i = 0; i < PROCESS_NAME_MAX && name[i] != 0; ++i) {
        record.name[i] = name[i];
    }
    record.active = 1;
    record.edx = initial_edx;
    set_kernel_selectors(record);
    record.eip = entry;
    record.esp = PROCESS_STACK_ESP;
    record.eflags = cpu_read_eflags();
    record.page_directory = directory;
    record.type = type;
    record.time_slice = time_slice;
    record.stack_base = PROCESS_STACK_BASE;
    record.stack_pages = PROCESS_STACK_PAGES;
    return record;
}

int32_t process_create(const char* name, uint32_t entry, uint32_t image_size, uint32_t initial_edx, uint32_t time_slice,
                       uint32_t type)
{
    if (entry == 0 || image_size == 0 || !name_fits(name)) {
        return STATUS_BAD_ARGUMENT;
    }
    uint32_t directory = 0;
    const int32_t built = process_space_create(&directory);
    if (built != STATUS_OK) {
        return built;
    }
    ProcessRecord record = process_record_new(name, entry, directory, initial_edx, time_slice, type);
    record.image_pages = image_size / PAGE_SIZE + 2;
    if (process_add(record) != STATUS_OK) {
        process_space_free(directory);
        return STATUS_BAD_ARGUMENT;
    }
    return STATUS_OK;
}

int32_t process_terminate(uint32_t pid)
{
    if (current_pid != SYSTEM_PID) {
        return STATUS_NOT_ALLOWED;
    }
    if (pid < SHELL_PID || pid > MAX_PID || process_table[pid].active == 0) {
        return STATUS_INVALID_PID;
    }
    ProcessRecord& victim = process_table[pid];
    victim.active = 0;
    clear_context(victim);
    // What it held outside its memory goes back too: the console to the
    // shell, and the speaker should it have been ended in mid-beep.
    if (shell_has_console == 0 && console_owner_pid == pid) {
        console_focus_set(1);
    }
    if (speaker_is_sounding()) {
        speaker_off();
    }

    // The victim's regions are reached through its own directory; no other
    // process may run while that one is loaded.
    int32_t result = STATUS_OK;
    scheduler_enabled = 0;
    vmm_switch_directory(victim.page_directory);
    if (victim.has_image == 1 && !clear_and_unmap(victim.image_base, victim.image_pages, victim.page_directory)) {
        result = STATUS_RELEASE_FAILED;
    }
    if (!clear_and_unmap(victim.stack_base, victim.stack_pages, victim.page_directory)) {
        result = STATUS_RELEASE_FAILED;
    }
    vmm_switch_directory(process_table[SYSTEM_PID].page_directory);
    scheduler_enabled = 1;
    if (!vmm_free_directory(victim.page_directory, DIRECTORY_FRAMES)) {
        result = STATUS_RELEASE_FAILED;
    }
    reset_slot(victim);
    --process_count;
    return result;
}

// A slot marked while it was free (restart and power-off mark 2-4 blindly)
// holds no process to end: its mark is cleared, or admission, which needs
// state 0, would never hand the slot out again.
void process_reap_marked()
{
    if (process_table == nullptr) {
        return;
    }
    for (uint32_t pid = 0; pid < MAX_PROCESSES; ++pid) {
        if (process_table[pid].state != PROCESS_KILL_REQUESTED) {
            continue;
        }
        if (process_table[pid].active == 0) {
            process_table[pid].state = PROCESS_NORMAL;
        } else {
            process_terminate(pid);
        }
    }
}

// ---- the console focus ----

void console_focus_set(uint8_t to_shell)
{
    if (to_shell != 0 && shell_has_console == 0) {
        ++focus_returns;
    }
    shell_has_console = to_shell;
    console_owner_pid = to_shell != 0 ? 0 : current_pid;
}

uint32_t console_focus_returns()
{
    return focus_returns;
}

uint8_t console_focus_held_by(uint32_t pid)
{
    if (pid == SHELL_PID) {
        return shell_has_console;
    }
    return shell_has_console == 0 && console_owner_pid == pid ? 1 : 0;
}

// Keys go only to the process that holds the console; anyone else leaves
// the slot alone. CTRL+ENTER is never an application's: its Enter stays for
// the shell, which is about to get the focus back, and an application never
// sees the Ctrl press itself, which would otherwise end its wait for a key
// before the Enter could take the console away. The focus test, the test of
// the CTRL+ENTER note and the take are one step with interrupts off: an
// Enter or a focus change arriving between them would go to the wrong
// process. Between keys the process halts.
KeyCode console_focus_wait_key(const uint32_t* returns_seen)
{
    const uint32_t pid = current_pid;
    const bool shell = pid == SHELL_PID;
    KeyCode taken = KEY_NONE;
    cpu_wait_until([&] {
        if (returns_seen != nullptr && focus_returns != *returns_seen) {
            return true;
        }
        const bool held = console_focus_held_by(pid) != 0;
        if (!held && !shell) {
            return true;
        }
        const KeyCode key = held && (shell || kbd_ctrl_enter_noted() == 0) ? kbd_take_key() : KEY_NONE;
        if (key != KEY_NONE && (shell || key != KEY_CTRL)) {
            taken = key;
            return true;
        }
        return false;
    });
    return taken;
}

uint8_t console_focus_is_shell()
{
    return shell_has_console;
}

uint32_t console_focus_owner()
{
    return console_owner_pid;
}
