// Channel 2 of the first 8237 DMA controller and the floppy's DMA buffer.
#pragma once

#include <stdint.h>

constexpr uint32_t DMA_BUFFER_FRAMES = 16;    // 64 KiB
constexpr uint32_t DMA_TRACK_BYTES = 0x2400;  // one track of 18 sectors

// Physical address of the 64 KiB DMA buffer (0 until allocated).
extern uint32_t dma_buffer;

// Takes the buffer from the physical memory manager (its last start-up step).
void dma_buffer_alloc();
void dma_floppy_setup();
void dma_floppy_mode_read();
void dma_floppy_mode_write();
bool dma_buffer_read(uint32_t count, uint32_t offset, void* destination);
