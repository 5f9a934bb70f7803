// A fake 82077AA floppy controller with drive 0 and channel 2 of the first
// 8237 DMA controller, on the fake port bus. It serves a 1.44 MB disk image:
// READ DATA moves consecutive sectors from the one asked for - on to head 1
// with MT, until terminal count, the end of the cylinder (of the track
// without MT) or a deleted sector - into the fake physical arena at the
// programmed address, and its result's C, H, R name the sector after the last
// one moved, as the 82077AA's result-phase table gives them. IRQ 6 is raised
// by calling floppy_irq_work() from fake::on_relax, as the real line would
// interrupt a busy-wait.
//
// Use: fake::reset() (HardwareTest does it), then fake::floppy::attach(),
// then set controller().image. attach() starts from a fresh controller each
// time.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_hw.h"

namespace fake::floppy {

constexpr uint32_t IMAGE_BYTES = 1474560;  // 80 cylinders x 2 heads x 18 sectors x 512

enum class Disk {
    Inserted,
    // No disk: a drive without one gives no index pulses, so READ DATA never
    // ends; the controller stays busy (RQM clear) until a reset or insert().
    Ejected,
    // READ DATA ends at once with abnormal termination and "missing address
    // mark", the size code byte still 2 (what an emulator without media says).
    Unreadable,
};

// One DMA transfer the controller made.
struct Transfer {
    uint32_t address;  // physical address of the first byte
    uint32_t bytes;
};

struct Controller {
    // ---- the disk and the controller's answers (set them in a test) ----
    std::vector<uint8_t> image = std::vector<uint8_t>(IMAGE_BYTES, 0);
    Disk disk = Disk::Inserted;
    // The drive's disk-change line (bit 7 of the digital input register):
    // set when a disk goes out or comes in, cleared by a step to another
    // cylinder with a disk in the drive.
    bool disk_changed = false;
    uint8_t version = 0x90;            // answer to VERSION
    bool ready = true;                 // false: RQM never sets (a dead controller)
    bool irq_on_reset = true;          // false: a reset raises no interrupt
    uint8_t recalibrate_cylinder = 0;  // present cylinder after RECALIBRATE
    int recalibrate_failures = 0;      // RECALIBRATEs that end on cylinder 1 first
    int seek_failures = 0;             // SEEKs that end one cylinder short first
    int read_errors = 0;               // READ DATAs that first end in a CRC error, their data corrupt
    int result_size_code = -1;         // N in every READ DATA result; -1: the command's own
    std::set<uint32_t> deleted_data;   // blocks whose data field has a deleted data address mark

    // ---- what the driver did (read them in a test) ----
    std::vector<std::vector<uint8_t>> commands;  // every complete command, bytes in order
    std::vector<Transfer> transfers;
    int reads = 0;            // READ DATA commands received
    int resets = 0;           // times the DOR left reset
    int protocol_errors = 0;  // command bytes sent while results were unread, and the like
    uint8_t dor = 0x0C;       // last DOR value
    uint8_t present_cylinder = 0;

    // ---- DMA channel 2 as programmed ----
    uint16_t dma_address = 0;
    uint16_t dma_count = 0;
    uint8_t dma_page = 0;
    uint8_t dma_mode = 0;
    bool dma_masked = true;
};

Controller& controller();

// Fresh controller and DMA channel on the port bus. fake::on_relax then
// calls timer_tick(0) on every turn, so that timer_sleep() advances, and
// delivers a pending IRQ 6 (when the DOR enables it).
void attach();

// The disk in the drive is controller().image.
void eject();
void insert();

// ---- the kernel around the driver ----
// The memory managers as start-up leaves them: a memory-range table at
// physical 0x1000 with one usable range of `memory_kb` from 0, then pmm_init
// and the DMA buffer (at 0x2000), vmm_init and heap_init.
void init_kernel_memory(uint32_t memory_kb = 32768);
// Memory, timers and the floppy driver with its caches as start-up leaves
// them, `image` in the drive: init_kernel_memory, reset_driver, attach,
// floppy_init and the FAT cache loaded (throws std::runtime_error if not).
void start_with_disk(const std::vector<uint8_t>& image);
// The floppy driver back to its power-on state through floppy_init, before
// the controller is attached; the records of that call are cleared. The old
// caches are forgotten, not released: they went with the arena.
void reset_driver();

// ---- test disk images, made with mkfs.fat and mtools ----
struct ImageEntry {
    std::string path;      // "README.TX", "APPS/DEMO.KVX"; a folder ends with '/': "APPS/"
    std::string contents;  // file contents (ignored for folders)
};
// A freshly formatted 1.44 MB FAT12 image holding `entries`, created in
// order (folders before what they hold). Throws std::runtime_error when a
// tool fails.
std::vector<uint8_t> make_image(const std::vector<ImageEntry>& entries);
// Writes the 12-bit entry of `cluster` into both FATs of such an image.
void set_fat_entry(std::vector<uint8_t>& image, uint16_t cluster, uint16_t value);

}  // namespace fake::floppy
