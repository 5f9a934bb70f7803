// The process table's interface as far as the kernel uses it before the
// process manager runs: task switching is off and no process is current.
#pragma once

#include <stdint.h>

#include "fs/fat12.h"

constexpr uint32_t MAX_PROCESSES = 5;

enum ProcessType : uint32_t {
    PROCESS_SYSTEM = 0,
    PROCESS_DRIVER = 1,
    PROCESS_APPLICATION = 2,
};

struct [[gnu::packed]] ProcessRecord {
    uint32_t pid;
    char name[14];
    uint8_t active;
    uint32_t state;
    uint32_t eax, ebx, ecx, edx, esi, edi;
    uint16_t cs;
    uint16_t ds, es, fs, gs, ss;
    uint32_t esp;
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

extern ProcessRecord* process_table;  // MAX_PROCESSES records; null until created
extern uint32_t current_pid;          // slot of the running process
extern uint8_t scheduler_enabled;     // ticks switch tasks only while this is 1

uint8_t scheduler_is_enabled();
void scheduler_set_enabled(uint8_t flag);
uint32_t process_current_pid();
uint32_t process_current_time_slice();
ProcessRecord* process_get_record(ProcessRecord* out, uint32_t pid);
static_assert(sizeof(ProcessRecord) == 133);
static_assert(__builtin_offsetof(ProcessRecord, name) == 4);
static_assert(__builtin_offsetof(ProcessRecord, state) == 19);
static_assert(__builtin_offsetof(ProcessRecord, cs) == 47);
static_assert(__builtin_offsetof(ProcessRecord, esp) == 59);
static_assert(__builtin_offsetof(ProcessRecord, type) == 87);
static_assert(__builtin_offsetof(ProcessRecord, has_image) == 103);
static_assert(__builtin_offsetof(ProcessRecord, file_info) == 108);
