// The start of a .kvx program: exe_load, then app_bootstrap in the new
// process, which reads the file cluster by cluster into its image region,
// checks the header on the first cluster and enters it - bounded by the
// region whatever the chain and the size claim.
//
// Input: one control byte, then the file (A.KVX in the root of a sound
// disk, clusters consecutive from 2). Control bits 0-3: that many more
// clusters chained on after the file's last; bit 4: the last cluster links
// back to the first (a loop); bits 5-6: the size in the directory entry is
// the file's (0), half of it (1), 8 KiB more (2), or 0xFFFFF000 (3).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "drivers/floppy.h"
#include "fakes/fake_hw.h"
#include "fakes/processes.h"
#include "fs/fat12.h"
#include "lib/physmem.h"
#include "lib/status.h"
#include "mm/pmm.h"
#include "proc/exe.h"
#include "proc/process.h"
#include "support/harness.h"
#include "support/host_heap.h"
#include "support/memdisk.h"

namespace {

constexpr uint16_t FIRST_CLUSTER = 2;
constexpr size_t MAX_FILE = 64 * 1024;

uint32_t claimed_size(uint8_t control, size_t size)
{
    switch ((control >> 5) & 3) {
        case 1:
            return static_cast<uint32_t>(size / 2);
        case 2:
            return static_cast<uint32_t>(size + 8192);
        case 3:
            return 0xFFFFF000u;
        default:
            return static_cast<uint32_t>(size);
    }
}

// Builds the disk; returns true when the chain is the file's alone.
bool make_disk(uint8_t control, const uint8_t* file, size_t size)
{
    fuzz::disk::clear();
    fuzz::disk::format();
    const uint32_t claimed = claimed_size(control, size);
    fuzz::disk::set_root_entry(0, "A       ", "KVX", 0x20, size == 0 ? 0 : FIRST_CLUSTER, claimed);
    uint16_t last = fuzz::disk::write_chain(FIRST_CLUSTER, file, size);
    const uint32_t extra = control & 0x0F;
    if (size != 0) {
        for (uint32_t i = 0; i < extra; ++i) {
            fuzz::disk::set_fat(last, static_cast<uint16_t>(last + 1));
            ++last;
            fuzz::disk::set_fat(last, 0xFFF);
        }
        if ((control & 0x10) != 0) {
            fuzz::disk::set_fat(last, FIRST_CLUSTER);
        }
    }
    fuzz::check(fuzz::disk::insert(), "the FAT cache of a sound disk did not load");
    return extra == 0 && (control & 0x10) == 0 && claimed == size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool booted = (fuzz::boot(true), true);
    (void)booted;
    if (size == 0 || size > MAX_FILE + 1) {
        return -1;
    }
    fuzz::turn();
    const uint8_t control = data[0];
    const uint8_t* file = data + 1;
    const size_t file_size = size - 1;

    if (file_size >= EXE_HEADER_BYTES) {
        auto* header = new uint8_t[EXE_HEADER_BYTES];
        std::memcpy(header, file, EXE_HEADER_BYTES);
        const int32_t checked = exe_check_header(header);
        fuzz::check(checked <= 0 && checked >= -6, "exe_check_header: a result outside 0 to -6");
        delete[] header;
    }

    const bool plain = make_disk(control, file, file_size);
    const uint32_t heap_before = fuzz::heap::blocks_in_use();
    const uint32_t frames_before = pmm_used_size(true);
    exe_load_status_reset();
    char path[] = "a:\\a.kvx";
    const int32_t loaded = exe_load(path, 0x1234, 3, PROCESS_APPLICATION);
    if (loaded == STATUS_OK) {
        constexpr uint32_t PID = FIRST_APPLICATION_PID;
        fake::processes::run(PID);
        bool entered = false;
        try {
            app_bootstrap();
        } catch (const fake::Entered& at) {
            entered = true;
            fuzz::check(at.entry == EXE_IMAGE_BASE + EXE_ENTRY_OFFSET, "entered elsewhere than byte 10");
        } catch (const fuzz::OutOfKeys&) {
            // A failed start waits to be ended; its first wait ends the run here.
        }
        fuzz::check(entered == (exe_load_status() == STATUS_OK), "the load status disagrees with the start");
        fuzz::check(!floppy_motor_is_on(), "the start left the motor on");
        if (entered) {
            fuzz::check(exe_check_header(static_cast<const uint8_t*>(virt_ptr(EXE_IMAGE_BASE))) == 0,
                        "entered a program whose header is not valid");
            if (plain) {
                for (size_t i = 0; i < file_size; ++i) {
                    if (*static_cast<const uint8_t*>(virt_ptr(static_cast<uint32_t>(EXE_IMAGE_BASE + i))) != file[i]) {
                        fuzz::fail("the image region does not hold the file");
                    }
                }
            }
        }
        fake::processes::run(SYSTEM_PID);
        if (process_is_active(PID) != 0) {
            fuzz::check(process_terminate(PID) == STATUS_OK, "the started process could not be ended");
        }
        process_reap_marked();
        fuzz::check(process_is_active(PID) == 0, "the process outlived its end");
    }
    fuzz::check(pmm_used_size(true) == frames_before, "a start kept frames");
    fuzz::check_no_leak(heap_before, "a start kept a heap block");
    return 0;
}
