// Drive A: 1.44 MB floppy through the 82077AA-class controller, DMA channel 2
// and IRQ 6; with the root-directory and FAT caches the file system reads.
#pragma once

#include <stdint.h>

constexpr uint32_t FLOPPY_SECTORS = 2880;
constexpr uint32_t SECTOR_SIZE = 512;
constexpr uint32_t ROOT_FIRST_BLOCK = 19;
constexpr uint32_t ROOT_LAST_BLOCK = 32;

extern uint8_t* root_cache;  // blocks 19-32, then 10 zero bytes
extern uint8_t* fat_cache;   // blocks 0 .. reserved + FATs - 1, then 10 zero bytes

void floppy_init();
bool floppy_read_sector(uint16_t block, uint8_t* buffer);
void floppy_motor(bool on);
bool floppy_load_fat_cache(bool reuse);
bool floppy_refresh();
bool fdc_seek(uint8_t head, uint8_t cylinder);
void fdc_set_enabled(bool enabled);
