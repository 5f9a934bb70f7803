// The system data table: 40 named 32-bit values that processes share
// through system calls 19-23. Values outlive the process that added them.
#pragma once

#include <stdint.h>

constexpr uint32_t SYSDATA_ENTRIES = 40;
constexpr uint32_t SYSDATA_NAME_MAX = 5;  // characters kept of a name

struct [[gnu::packed]] SysDataEntry {
    char name[SYSDATA_NAME_MAX + 1];  // the sixth byte is always 0
    uint32_t value;
    uint8_t in_use;
};
static_assert(sizeof(SysDataEntry) == 11);
static_assert(__builtin_offsetof(SysDataEntry, value) == 6);
static_assert(__builtin_offsetof(SysDataEntry, in_use) == 10);
static_assert(SYSDATA_ENTRIES * sizeof(SysDataEntry) <= 450);

bool sysdata_init();
// 0, -25 when the name is already present (an empty name always is), -19
// when no entry is free. Keeps the first five characters.
int32_t sysdata_add(const char* name, uint32_t value);
int32_t sysdata_set(const char* name, uint32_t value);  // 0 or -26
int32_t sysdata_remove(const char* name);               // 0 or -26
int32_t sysdata_find(const char* name);                 // 0 or -26
uint32_t sysdata_get(const char* name);                 // 0 when absent
