// An in-memory 1.44 MB disk behind drivers/floppy.h, for the fuzz targets:
// the FAT12 code, the bitmap renderer, the .kvx loader and the shell's disk
// commands read their blocks from here at memory speed instead of through
// the fake floppy controller. It keeps the driver's contract: reads only
// while the motor is on, blocks 0-2879 only, and a FAT cache of the blocks
// the boot sector says the FAT area has (reserved sectors + FAT count x
// sectors per FAT, refused beyond the disk), loaded by insert() and by
// floppy_refresh() as the driver loads it, into a heap block of exactly that
// many sectors and the driver's 10 zero bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz::disk {

constexpr uint32_t BLOCKS = 2880;
constexpr uint32_t BLOCK_BYTES = 512;

// Every block zero again, the motor off, the FAT cache dropped.
void clear();
// Block `block` becomes the first `bytes` (at most 512) of `data`, then zeros.
void put(uint16_t block, const uint8_t* data, size_t bytes);
// Block `block`, to change in place (not for blocks beyond the disk).
uint8_t* block(uint16_t block);
// The disk goes in: the FAT cache is loaded from it, as start-up and
// floppy_refresh load it. False when the boot sector gives no FAT area the
// driver would take (the FAT cache then holds nothing).
bool insert();
// Blocks read since the last clear().
uint32_t reads();

// ---- a plain 1.44 MB FAT12 layout for the targets that need a file on a
// sound disk: 1 reserved sector, two FATs of 9 sectors, 224 root entries ----
// Writes the boot sector and the two FAT marker entries.
void format();
// The 12-bit entry of `cluster` in both FATs.
void set_fat(uint16_t cluster, uint16_t value);
// Root entry `slot` (0-223): `name` (8 characters, blank-padded) and
// `extension` (3), `size` bytes from `first_cluster`, with `attributes`.
void set_root_entry(uint32_t slot, const char* name, const char* extension, uint8_t attributes, uint16_t first_cluster,
                    uint32_t size);
// `bytes` of `data` into consecutive clusters from `first_cluster`, chained
// in the FAT and ended; returns the last cluster (first_cluster for none).
uint16_t write_chain(uint16_t first_cluster, const uint8_t* data, size_t bytes);

}  // namespace fuzz::disk
