// The system data table with fuzzed names and operations, directly and
// through the system-call dispatcher (names in low memory, as a caller's
// string is reached), checked against a model of sysdata.h's contract: 40
// entries, names kept to their first five characters, an empty name always
// present, -25 for a name already there, -19 when full, -26 for a name not
// there.
//
// Input: records of one operation byte (bits 0-2: add, set, remove, find,
// get; bit 3: through syscall_dispatch), a name length byte (0-15), the
// name's bytes, and a 32-bit value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fakes/fake_hw.h"
#include "lib/status.h"
#include "proc/syscall.h"
#include "proc/sysdata.h"
#include "support/harness.h"

namespace {

constexpr uint32_t NAME_AREA = 0x300000;  // one-to-one mapped low memory
constexpr size_t NAME_LIMIT = 15;

struct ModelEntry {
    std::string name;
    uint32_t value;
    bool in_use;
};

struct Model {
    std::vector<ModelEntry> entries = std::vector<ModelEntry>(SYSDATA_ENTRIES, ModelEntry{"", 0, false});

    // The lowest-indexed entry in use with exactly `name`.
    int find(const std::string& name) const
    {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].in_use && entries[i].name == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    int32_t add(const std::string& name, uint32_t value)
    {
        for (const ModelEntry& e : entries) {
            if (e.name == name) {  // free entries hold the empty name
                return STATUS_NAME_PRESENT;
            }
        }
        for (size_t i = entries.size(); i-- > 0;) {
            if (!entries[i].in_use) {
                entries[i] = {name.substr(0, SYSDATA_NAME_MAX), value, true};
                return STATUS_OK;
            }
        }
        return STATUS_NO_FREE_SLOT;
    }
};

int32_t call(uint32_t number, const std::string& name, uint32_t value)
{
    std::memcpy(fake::phys(NAME_AREA), name.c_str(), name.size() + 1);
    SyscallFrame frame{};
    frame.eax = number;
    frame.ebx = NAME_AREA;
    frame.ecx = value;
    syscall_dispatch(&frame);
    return static_cast<int32_t>(frame.edx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool booted = [] {
        fuzz::boot(true);
        fuzz::check(sysdata_init(), "no heap for the table");
        return true;
    }();
    (void)booted;
    fuzz::turn();
    Model model;  // the table is empty at the start of every input
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t op = data[at];
        const size_t length = data[at + 1] % (NAME_LIMIT + 1);
        at += 2;
        if (at + length + 4 > size) {
            break;
        }
        // The name ends at its first NUL, as a string in memory does.
        std::string name(reinterpret_cast<const char*>(data + at), length);
        name = name.substr(0, name.find('\0'));
        uint32_t value;
        std::memcpy(&value, data + at + length, 4);
        at += length + 4;
        const bool via_call = (op & 8) != 0;
        const int found = model.find(name);
        switch (op % 5) {
            case 0: {
                const int32_t expected = model.add(name, value);
                const int32_t got = via_call ? call(SYS_DATA_ADD, name, value) : sysdata_add(name.c_str(), value);
                fuzz::check(got == expected, "sysdata_add disagrees with the model");
                break;
            }
            case 1: {
                const int32_t got = via_call ? call(SYS_DATA_SET, name, value) : sysdata_set(name.c_str(), value);
                fuzz::check(got == (found < 0 ? STATUS_NAME_NOT_FOUND : STATUS_OK), "sysdata_set disagrees");
                if (found >= 0) {
                    model.entries[static_cast<size_t>(found)].value = value;
                }
                break;
            }
            case 2: {
                const int32_t got = via_call ? call(SYS_DATA_REMOVE, name, 0) : sysdata_remove(name.c_str());
                fuzz::check(got == (found < 0 ? STATUS_NAME_NOT_FOUND : STATUS_OK), "sysdata_remove disagrees");
                if (found >= 0) {
                    model.entries[static_cast<size_t>(found)] = {"", 0, false};
                }
                break;
            }
            case 3: {
                const int32_t got = via_call ? call(SYS_DATA_FIND, name, 0) : sysdata_find(name.c_str());
                fuzz::check(got == (found < 0 ? STATUS_NAME_NOT_FOUND : STATUS_OK), "sysdata_find disagrees");
                break;
            }
            default: {
                const uint32_t expected = found < 0 ? (via_call ? static_cast<uint32_t>(STATUS_NAME_NOT_FOUND) : 0)
                                                    : model.entries[static_cast<size_t>(found)].value;
                const uint32_t got =
                    via_call ? static_cast<uint32_t>(call(SYS_DATA_GET, name, 0)) : sysdata_get(name.c_str());
                fuzz::check(got == expected, "sysdata_get disagrees");
                break;
            }
        }
    }
    // Emptied again for the next input, through the kernel's own remove.
    for (const ModelEntry& e : model.entries) {
        if (e.in_use) {
            fuzz::check(sysdata_remove(e.name.c_str()) == STATUS_OK, "an entry the model holds could not be removed");
        }
    }
    return 0;
}
