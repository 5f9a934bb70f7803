// bmp_render on whole files: the input is PIC.BMP in the root of a sound
// FAT12 disk, its clusters consecutive from cluster 2 and its size the
// input's. The position comes from the header's reserved word (x from its
// low half, y from its high half, each modulo one more than the screen), so
// the fuzzer moves the picture without a byte outside the file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "display/bmp.h"
#include "display/vga.h"
#include "drivers/floppy.h"
#include "fakes/fake_vga.h"
#include "fs/fat12.h"
#include "support/harness.h"
#include "support/host_heap.h"
#include "support/memdisk.h"

namespace {

constexpr uint16_t FIRST_CLUSTER = 2;
constexpr size_t RESERVED_AT = 6;
constexpr size_t MAX_FILE = (FAT_LAST_CLUSTER - FIRST_CLUSTER + 1) * SECTOR_SIZE;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool booted = [] {
        fuzz::boot(false);
        fake::vga::attach();
        fuzz::check(vga_init_buffers(), "no save buffers for graphics mode");
        vga_set_mode(VGA_MODE_TEXT, 0);
        return true;
    }();
    (void)booted;
    if (size > MAX_FILE) {
        return -1;
    }
    fuzz::turn();
    fuzz::disk::clear();
    fuzz::disk::format();
    fuzz::disk::set_root_entry(0, "PIC     ", "BMP", 0x20, size == 0 ? 0 : FIRST_CLUSTER, static_cast<uint32_t>(size));
    fuzz::disk::write_chain(FIRST_CLUSTER, data, size);
    fuzz::check(fuzz::disk::insert(), "the FAT cache of a sound disk did not load");

    uint32_t reserved = 0;
    if (size >= RESERVED_AT + 4) {
        std::memcpy(&reserved, data + RESERVED_AT, 4);
    }
    const auto x = static_cast<int32_t>((reserved & 0xFFFF) % (VGA_GRAPHICS_WIDTH + 1));
    const auto y = static_cast<int32_t>((reserved >> 16) % (VGA_GRAPHICS_HEIGHT + 1));
    const uint32_t heap_before = fuzz::heap::blocks_in_use();
    char path[] = "a:\\PIC.BMP";
    const int32_t result = bmp_render(path, x, y, 0x000000, VGA_MODE_GRAPHICS);
    fuzz::check(
        result == BMP_OK || result == BMP_ERR_UNREADABLE || result == BMP_ERR_NO_MEMORY || result == BMP_ERR_NOT_BITMAP,
        "bmp_render returned what it never returns");
    fuzz::check((result == BMP_OK) == (vga_current_mode() == VGA_MODE_GRAPHICS),
                "graphics mode after a refusal, or text mode after success");
    fuzz::check(!floppy_motor_is_on(), "bmp_render left the motor on");
    fuzz::check_no_leak(heap_before, "bmp_render kept a heap block");
    vga_set_mode(VGA_MODE_TEXT, 0);
    return 0;
}
