// A fake 82077AA floppy controller with drive 0 and channel 2 of the first
// 8237 DMA controller, on the fake port bus. It serves a 1.44 MB disk image:
// READ DATA moves the requested sectors - a whole track's worth, as many as
// the programmed DMA count asks for - into the fake physical arena at the
// programmed address, and IRQ 6 is raised by calling floppy_irq_work() from
// fake::on_relax, as the real line would interrupt a busy-wait.
//
// Use: fake::reset() (HardwareTest does it), then fake::floppy::attach(),
// then load or make an image. attach() starts from a fresh controller each
// time.
#pragma once

#include <cstdint>
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
    uint8_t cylinder, head, sector;  // where the read started
};

struct Controller {
    // ---- the disk and the controller's answers (set them in a test) ----
    std::vector<uint8_t> image = std::vector<uint8_t>(IMAGE_BYTES, 0);
    Disk disk = Disk::Inserted;
    uint8_t version = 0x90;            // answer to VERSION
    bool ready = true;                 // false: RQM never sets (a dead controller)
    bool irq_on_reset = true;          // false: a reset raises no interrupt
    uint8_t recalibrate_cylinder = 0;  // present cylinder after RECALIBRATE
    int recalibrate_failures = 0;      // RECALIBRATEs that end on cylinder 1 first
    int seek_failures = 0;             // SEEKs that end one cylinder short first
    int read_errors = 0;               // READ DATAs that first end in a CRC error, their data corrupt

    // ---- what the driver did (read them in a test) ----
    std::vector<std::vector<uint8_t>> commands;  // every complete command, bytes in order
    std::vector<Transfer> transfers;
    int reads = 0;            // READ DATA commands received
    int resets = 0;           // times the DOR left reset
    int irqs_delivered = 0;   // calls of floppy_irq_work()
    int protocol_errors = 0;  // command bytes sent while results were unread, and the like
    uint8_t dor = 0x0C;       // last DOR value
    uint8_t ccr = 0xFF;       // last data-rate value (0xFF: never written)
    uint8_t present_cylinder = 0;
    std::vector<uint8_t> configure;  // parameter bytes of the last CONFIGURE
    std::vector<uint8_t> specify;    // parameter bytes of the last SPECIFY

    // ---- DMA channel 2 as programmed ----
    uint16_t dma_address = 0;
    uint16_t dma_count = 0;
    uint8_t dma_page = 0;
    uint8_t dma_mode = 0;
    bool dma_masked = true;
};

Controller& controller();

// Fresh controller and DMA channel on the port bus. With `tick_timer`,
// fake::on_relax also calls timer_tick(0) on every turn, so that
// timer_sleep() advances (call sleep_timer_init() first).
void attach(bool tick_timer = true);
// Delivers a pending IRQ 6 (when the DOR enables it). attach() installs it in
// fake::on_relax; a test with its own on_relax calls it from there.
void relax();

// The disk: a file read whole (padded or cut to 1.44 MB), or bytes.
void load_image(const std::string& path);
void eject();
void insert();

// Port writes to the DMA controller (0x04, 0x05, 0x0A, 0x0B, 0x0C, 0x81), in order.
std::vector<PortAccess> dma_writes();

// ---- the kernel around the driver ----
// The memory managers as start-up leaves them: a memory-range table at
// physical 0x1000 with one usable range of `memory_kb` from 0, then pmm_init
// (which allocates the DMA buffer, at 0x2000), vmm_init and heap_init.
void init_kernel_memory(uint32_t memory_kb = 32768);
// The floppy driver's globals back to their load-time values. The caches are
// forgotten, not released: they went with the arena.
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

}  // namespace fake::floppy
