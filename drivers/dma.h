// Channel 2 of the first 8237 DMA controller and the floppy's DMA buffer.
#pragma once

#include <stdint.h>

constexpr uint32_t DMA_BUFFER_FRAMES = 16;    // 64 KiB
constexpr uint32_t DMA_TRACK_BYTES = 0x2400;  // one track of 18 sectors

// Takes the buffer from the physical memory manager. Start-up calls it right
// after the manager's initialisation, when lowest-first allocation puts it
// at 0x2000 (frame 1 is set aside, frame 0 stays used).
void dma_buffer_alloc();
// Physical address of the 64 KiB buffer; 0 until allocated.
uint32_t dma_buffer_address();
// True when the track lies below 64 KiB, in the first bank, as start-up
// requires before any disk data can land in it.
bool dma_buffer_reachable();
// True when a whole track fits the buffer in one transfer: allocated, below
// 16 MiB and not crossing a 64 KiB boundary (the 8237's reach).
bool dma_buffer_usable();
void dma_floppy_setup();
void dma_floppy_mode_read();
void dma_floppy_mode_write();
// Copies `count` bytes from `offset` in the buffer; false for a range beyond
// its 64 KiB, a null destination or a buffer that was never allocated.
bool dma_buffer_read(uint32_t count, uint32_t offset, void* destination);
