// The system data table, in the kernel heap. Its operations run with
// interrupts off (they are reached only through the system-call gate), so
// no lock is needed on the one processor.
#include "proc/sysdata.h"

#include "lib/status.h"
#include "lib/string.h"
#include "mm/heap.h"

namespace {

constexpr uint32_t SYSDATA_TABLE_BYTES = 450;  // what start-up sets aside for it

SysDataEntry* table = nullptr;

// The lowest-indexed entry in use whose name is `name`, or -1.
int32_t find_entry(const char* name)
{
    if (table == nullptr) {
        return -1;
    }
    for (uint32_t i = 0; i < SYSDATA_ENTRIES; ++i) {
        if (table[i].in_use == 1 && str_compare(table[i].name, name) == 0) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

}  // namespace

bool sysdata_init()
{
    table = static_cast<SysDataEntry*>(heap_alloc(SYSDATA_TABLE_BYTES));
    if (table == nullptr) {
        return false;
    }
    mem_set(table, 0, SYSDATA_TABLE_BYTES);
    return true;
}

int32_t sysdata_add(const char* name, uint32_t value)
{
    if (table == nullptr) {
        return STATUS_NO_FREE_SLOT;
    }
    // Free entries hold the empty name, so an empty name is always present.
    for (uint32_t i = 0; i < SYSDATA_ENTRIES; ++i) {
        if (str_compare(table[i].name, name) == 0) {
            return STATUS_NAME_PRESENT;
        }
    }
    for (uint32_t i = SYSDATA_ENTRIES; i-- > 0;) {
        SysDataEntry& entry = table[i];
        if (entry.in_use == 0) {
            uint32_t n = 0;
            for (; n < SYSDATA_NAME_MAX && name[n] != 0; ++n) {
                entry.name[n] = name[n];
            }
            entry.name[n] = 0;
            entry.value = value;
            entry.in_use = 1;
            return STATUS_OK;
        }
    }
    return STATUS_NO_FREE_SLOT;
}

int32_t sysdata_set(const char* name, uint32_t value)
{
    const int32_t i = find_entry(name);
    if (i < 0) {
        return STATUS_NAME_NOT_FOUND;
    }
    table[i].value = value;
    return STATUS_OK;
}

int32_t sysdata_remove(const char* name)
{
    const int32_t i = find_entry(name);
    if (i < 0) {
        return STATUS_NAME_NOT_FOUND;
    }
    mem_set(&table[i], 0, sizeof(SysDataEntry));
    return STATUS_OK;
}

int32_t sysdata_find(const char* name)
{
    return find_entry(name) < 0 ? STATUS_NAME_NOT_FOUND : STATUS_OK;
}

uint32_t sysdata_get(const char* name)
{
    const int32_t i = find_entry(name);
    return i < 0 ? 0 : table[i].value;
}
