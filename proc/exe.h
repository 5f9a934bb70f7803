// The .kvx executable format and its loader. A file is its own memory
// image at 0x80000000 and starts at byte 10, a near jump over its 15-byte
// header.
#pragma once

#include <stdint.h>

constexpr uint32_t EXE_IMAGE_BASE = 0x80000000;
constexpr uint32_t EXE_ENTRY_OFFSET = 10;
constexpr uint32_t EXE_HEADER_BYTES = 15;

struct [[gnu::packed]] ExeHeader {
    char magic[6];         // "KVALME"
    char version[2];       // "1 "
    char kind[2];          // "A "
    uint8_t jump;          // 0xE9: JMP rel32
    uint8_t displacement;  // the jump's low byte: any value
    uint8_t zero[3];       // its upper bytes: the entry lies within 255 bytes
};
static_assert(sizeof(ExeHeader) == EXE_HEADER_BYTES);
static_assert(__builtin_offsetof(ExeHeader, jump) == EXE_ENTRY_OFFSET);
static_assert(__builtin_offsetof(ExeHeader, zero) == 12);

// Builds the address space and admits a process that reads the file itself
// (app_bootstrap). 0, or -18, -20, -19, -21, -6, -17, -1.
int32_t exe_load(char* path, uint32_t initial_edx, uint32_t time_slice, uint32_t type);
// What the last start reported: -22 while pending, then 0, -6 or -21.
int32_t exe_load_status();
void exe_load_status_reset();
// 0 for a valid header; -1 to -6 for the first check that fails.
int32_t exe_check_header(const uint8_t* buffer);
uint32_t exe_entry(uint32_t image_base);
[[noreturn]] void app_bootstrap();
// For the fault report: a start that faults before its program runs posts
// -21, gives its buffer back and stops the motor, so nobody waits for ever.
void exe_abandon_start(uint32_t pid);
