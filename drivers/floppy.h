// Drive A: 1.44 MB floppy through the 82077AA-class controller, DMA channel 2
// and IRQ 6; with the root-directory and FAT caches the file system reads.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint32_t FLOPPY_SECTORS = 2880;
constexpr uint32_t SECTOR_SIZE = 512;
constexpr uint32_t ROOT_FIRST_BLOCK = 19;
constexpr uint32_t ROOT_LAST_BLOCK = 32;
constexpr uint32_t ROOT_BLOCKS = ROOT_LAST_BLOCK - ROOT_FIRST_BLOCK + 1;
constexpr uint32_t CACHE_PADDING = 10;                                            // zero bytes after each cache
constexpr uint32_t ROOT_CACHE_BYTES = ROOT_BLOCKS * SECTOR_SIZE + CACHE_PADDING;  // 7178

// The first sector of the disk, up to the fields the FAT cache size comes from.
struct [[gnu::packed]] BootSector {
    uint8_t jump[3];
    char oem_name[8];
    uint16_t bytes_per_sector;
    uint8_t sectors_per_cluster;
    uint16_t reserved_sectors;
    uint8_t fat_count;
    uint16_t root_entries;
    uint16_t total_sectors;
    uint8_t media;
    uint16_t sectors_per_fat;
};
static_assert(sizeof(BootSector) == 24);
static_assert(offsetof(BootSector, reserved_sectors) == 14);
static_assert(offsetof(BootSector, fat_count) == 16);
static_assert(offsetof(BootSector, sectors_per_fat) == 22);

// A sector's place on the disk, as the controller addresses it.
struct ChsAddress {
    uint8_t head;      // 0-1
    uint8_t cylinder;  // 0-79
    uint8_t sector;    // 1-18
};

// Puts the driver's state back to its power-on values (no drive, motor off,
// no caches), then brings the controller up.
void floppy_init();
// Reads logical block 0-2879; needs the motor on (floppy_motor). A block the
// last READ DATA already moved (the rest of its cylinder, up to 18 sectors)
// is copied from the DMA buffer while the motor stays on.
bool floppy_read_sector(uint16_t block, uint8_t* buffer);
void floppy_motor(bool on);
bool floppy_load_fat_cache(bool reuse);
bool floppy_refresh();
bool fdc_seek(uint8_t head, uint8_t cylinder);
void fdc_set_enabled(bool enabled);

// ---- the caches, read-only to the file system ----
// Blocks 19-32, then 10 zero bytes; null until the first root load.
const uint8_t* floppy_root_cache();
// Blocks 0 .. reserved + FATs - 1, then 10 zero bytes; null until loaded.
const uint8_t* floppy_fat_cache();
// Blocks of the current disk held in the FAT cache; 0 while no FAT is
// loaded (never loaded, or the last load failed). Readers stay below it.
uint16_t floppy_fat_cache_blocks();

// ---- the driver's state, read-only ----
bool floppy_drive_is_available();   // the controller passed fdc_reset
bool floppy_motor_is_on();          // floppy_motor turned the motor on
bool floppy_root_from_disk();       // blocks 19-32 come from the disk, not the root cache
bool floppy_irq_pending();          // IRQ 6 came and no wait has taken it yet
ChsAddress floppy_last_position();  // the last position lba_to_chs computed

// ---- the driver's inner steps (start-up and the tests use them) ----

bool fdc_write_byte(uint8_t value);
uint8_t fdc_read_byte();
bool fdc_wait_irq();
ChsAddress lba_to_chs(uint16_t block);
bool fdc_recalibrate();
bool fdc_reset();
bool fdc_read_sector_chs(uint8_t head, uint8_t cylinder, uint8_t sector);
bool floppy_load_root_cache();
