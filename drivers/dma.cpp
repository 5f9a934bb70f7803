// Channel 2 of the first 8237 DMA controller, wired to the floppy controller,
// and the 64 KiB buffer the floppy reads land in.
#include "drivers/dma.h"

#include "lib/physmem.h"
#include "lib/port.h"
#include "lib/string.h"
#include "mm/pmm.h"

namespace {

uint32_t dma_buffer = 0;  // physical address; 0 until allocated

// First 8237 (channels 0-3), byte-wide registers.
enum DmaPort : uint16_t {
    DMA_CH2_ADDRESS = 0x04,  // current address, low byte then high byte
    DMA_CH2_COUNT = 0x05,    // transfer count - 1, low byte then high byte
    DMA_SINGLE_MASK = 0x0A,  // bit 2 set: mask; bits 0-1: channel
    DMA_MODE = 0x0B,
    DMA_FLIP_FLOP = 0x0C,  // any write: the next 16-bit register access starts with the low byte
    DMA_CH2_PAGE = 0x81,   // address bits 16-23
};

enum DmaValue : uint8_t {
    DMA_MASK_CH2 = 0x06,
    DMA_UNMASK_CH2 = 0x02,
    DMA_FLIP_FLOP_RESET = 0xFF,
    // Single transfer, address increment, no auto-initialise, channel 2;
    // "write" and "read" are the 8237's view of memory.
    DMA_MODE_DEVICE_TO_MEMORY = 0x46,
    DMA_MODE_MEMORY_TO_DEVICE = 0x4A,
};

// The 8237 counts one more transfer than programmed.
constexpr uint16_t DMA_TRACK_COUNT = DMA_TRACK_BYTES - 1;  // 0x23FF
constexpr uint32_t DMA_BUFFER_BYTES = DMA_BUFFER_FRAMES * PAGE_SIZE;
// The channel's address register is 16 bits and the page register adds bits
// 16-23: one transfer can neither cross a 64 KiB boundary nor reach 16 MiB.
constexpr uint32_t DMA_BANK_SIZE = 0x10000;
constexpr uint32_t DMA_REACH = 0x1000000;
// Where the frame manager's lowest-first allocation puts the buffer on every
// PC: inside the first bank, whatever the memory map says above it.
constexpr uint32_t DMA_FIRST_BANK_END = DMA_BANK_SIZE;

void dma_set_mode(uint8_t mode)
{
    port_out8(DMA_SINGLE_MASK, DMA_MASK_CH2);
    port_out8(DMA_MODE, mode);
    port_out8(DMA_SINGLE_MASK, DMA_UNMASK_CH2);
}

}  // namespace

void dma_buffer_alloc()
{
    dma_buffer = pmm_alloc_frames(DMA_BUFFER_FRAMES);
}

uint32_t dma_buffer_address()
{
    return dma_buffer;
}

bool dma_buffer_reachable()
{
    return dma_buffer != 0 && dma_buffer <= DMA_FIRST_BANK_END - DMA_TRACK_BYTES;
}

bool dma_buffer_usable()
{
    if (dma_buffer == 0 || dma_buffer + DMA_TRACK_BYTES > DMA_REACH) {
        return false;
    }
    return dma_buffer / DMA_BANK_SIZE == (dma_buffer + DMA_TRACK_BYTES - 1) / DMA_BANK_SIZE;
}

void dma_floppy_setup()
{
    port_out8(DMA_SINGLE_MASK, DMA_MASK_CH2);
    port_out8(DMA_FLIP_FLOP, DMA_FLIP_FLOP_RESET);
    port_out8(DMA_CH2_ADDRESS, static_cast<uint8_t>(dma_buffer));
    port_out8(DMA_CH2_ADDRESS, static_cast<uint8_t>(dma_buffer >> 8));
    port_out8(DMA_FLIP_FLOP, DMA_FLIP_FLOP_RESET);
    port_out8(DMA_CH2_COUNT, static_cast<uint8_t>(DMA_TRACK_COUNT));
    port_out8(DMA_CH2_COUNT, static_cast<uint8_t>(DMA_TRACK_COUNT >> 8));
    // 0 while the buffer lies in the first 64 KiB, where the frame manager
    // normally puts it; the real bits keep a buffer placed higher reachable.
    port_out8(DMA_CH2_PAGE, static_cast<uint8_t>(dma_buffer >> 16));
    port_out8(DMA_SINGLE_MASK, DMA_UNMASK_CH2);
}

void dma_floppy_mode_read()
{
    dma_set_mode(DMA_MODE_DEVICE_TO_MEMORY);
}

void dma_floppy_mode_write()
{
    dma_set_mode(DMA_MODE_MEMORY_TO_DEVICE);
}

bool dma_buffer_read(uint32_t count, uint32_t offset, void* destination)
{
    if (count > DMA_BUFFER_BYTES || offset > DMA_BUFFER_BYTES - count || destination == nullptr) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    if (dma_buffer == 0) {
        return false;  // nothing to copy from: the buffer was never allocated
    }
    mem_copy(destination, phys_ptr(dma_buffer + offset), count);
    return true;
}
