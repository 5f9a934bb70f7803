// Drive A through the 82077AA: commands over the FIFO, data by DMA channel 2,
// completion on IRQ 6. Every wait is bounded, so a missing or silent drive
// only ever makes a read fail.
#include "drivers/floppy.h"

#include "cpu/idt.h"
#include "cpu/isr.h"
#include "cpu/pic.h"
#include "cpu/timer.h"
#include "drivers/dma.h"
#include "lib/cpu.h"
#include "lib/port.h"
#include "lib/string.h"
#include "mm/heap.h"

namespace {

// Read-ahead: a block that the last READ DATA already moved into the DMA
// buffer is copied from there. Off, every block outside the root cache costs
// a READ DATA, which is what measurements compare against.
#ifdef KVAL_NO_READ_AHEAD
constexpr bool READ_AHEAD = false;
#else
constexpr bool READ_AHEAD = true;
#endif

uint8_t* root_cache = nullptr;
uint8_t* fat_cache = nullptr;
uint16_t fat_cache_blocks = 0;

volatile uint8_t floppy_irq_flag = 0;  // set by IRQ 6, cleared by fdc_wait_irq
uint8_t floppy_drive_available = 0;
uint8_t floppy_motor_on = 0;
uint8_t floppy_root_bypass = 1;  // 1: blocks 19-32 come from the disk
ChsAddress floppy_position = {0, 0, 1};

// The blocks the last READ DATA that ended well left in the DMA buffer: from
// `first`, in disk order from the buffer's start, `count` of them, landed at
// physical `address`. A count of 0: nothing there may be served.
struct BufferedBlocks {
    uint32_t address;
    uint16_t first;
    uint16_t count;
};
BufferedBlocks buffered = {0, 0, 0};

enum FdcPort : uint16_t {
    FDC_DOR = 0x3F2,   // digital output register
    FDC_MSR = 0x3F4,   // main status register
    FDC_FIFO = 0x3F5,  // command, result and (non-DMA) data bytes
    FDC_CCR = 0x3F7,   // configuration control: data rate (written)
    FDC_DIR = 0x3F7,   // digital input register (read)
};

// DOR bits: 0x10 motor A, 0x08 DMA and IRQ enabled, 0x04 not in reset,
// bits 0-1 drive 0 selected.
enum DorValue : uint8_t {
    DOR_RESET = 0x00,
    DOR_MOTOR_OFF = 0x0C,
    DOR_MOTOR_ON = 0x1C,
};

constexpr uint8_t MSR_RQM = 0x80;           // the FIFO is ready for the next byte
constexpr uint8_t DIR_DISK_CHANGED = 0x80;  // the drive's disk-change line: a disk went out or came in
constexpr uint8_t CCR_500_KBPS = 0x00;      // the rate of a 1.44 MB disk
constexpr uint8_t FDC_VERSION_82077 = 0x90;

enum FdcCommand : uint8_t {
    FDC_SPECIFY = 0x03,
    FDC_RECALIBRATE = 0x07,
    FDC_SENSE_INTERRUPT = 0x08,
    FDC_SEEK = 0x0F,
    FDC_VERSION = 0x10,
    FDC_CONFIGURE = 0x13,
    FDC_READ_DATA = 0xC6,  // MT (both heads) | MFM | READ DATA
};

// CONFIGURE: 0, then EIS=1 (implied seek) EFIFO=0 (FIFO on) POLL=0 (drive
// polling on) FIFOTHR=7, then PRETRK=0 (precompensation from track 0).
constexpr uint8_t CONFIGURE_BYTES[] = {FDC_CONFIGURE, 0x00, 0x47, 0x00};
// SPECIFY: SRT=3 HUT=0, then HLT=16 ND=0 (DMA mode).
constexpr uint8_t SPECIFY_BYTES[] = {FDC_SPECIFY, 0x30, 0x20};

constexpr uint8_t DRIVE_0 = 0;
constexpr uint8_t SECTOR_SIZE_CODE = 0x02;  // 128 << 2 = 512 bytes
constexpr uint8_t TRACK_LAST_SECTOR = 0x12;
constexpr uint8_t GAP3_LENGTH = 0x1B;  // the 3.5-inch 1.44 MB read/write gap
constexpr uint8_t DATA_LENGTH = 0xFF;  // unused when the size code is not 0
constexpr int READ_RESULT_BYTES = 7;   // ST0, ST1, ST2, C, H, R, N

// ST0 bits 7-6, the interrupt code, and the ST1 flag a read sets when it
// runs off the end of the track before the DMA count ran out.
constexpr uint8_t ST0_INTERRUPT_CODE = 0xC0;
constexpr uint8_t ST0_NORMAL_TERMINATION = 0x00;
constexpr uint8_t ST0_ABNORMAL_TERMINATION = 0x40;
constexpr uint8_t ST1_END_OF_CYLINDER = 0x80;

constexpr uint8_t HEADS = 2;
constexpr uint8_t CYLINDERS = 80;
constexpr uint8_t SECTORS_PER_TRACK = 18;
constexpr uint32_t BLOCKS_PER_CYLINDER = HEADS * SECTORS_PER_TRACK;
// The channel is armed for one track's bytes, so no READ DATA moves more.
constexpr uint32_t DMA_TRACK_BLOCKS = DMA_TRACK_BYTES / SECTOR_SIZE;

constexpr int FDC_POLLS = 500;             // MSR polls per byte
constexpr uint32_t IRQ_WAIT_TICKS = 300;   // about 3 s
constexpr int FDC_ATTEMPTS = 10;           // per seek, recalibration or read
constexpr uint32_t MOTOR_SPIN_TICKS = 30;  // about 300 ms for the motor to settle
constexpr int RESET_SENSES = 4;            // one pending interrupt per drive after reset
constexpr int32_t FLOPPY_IRQ_LINE = 6;
constexpr int32_t FLOPPY_VECTOR = PIC_VECTOR_BASE + FLOPPY_IRQ_LINE;
constexpr uint32_t BOOT_BUFFER_BYTES = SECTOR_SIZE + 1;

// Blocks the current fat_cache allocation can hold (meaningful while it is
// not null).
uint16_t fat_cache_capacity = 0;

bool fdc_wait_ready()
{
    for (int poll = 0; poll < FDC_POLLS; ++poll) {
        cpu_relax();
        if ((port_in8(FDC_MSR) & MSR_RQM) != 0) {
            return true;
        }
    }
    return false;
}

template <uint32_t N>
void fdc_send(const uint8_t (&bytes)[N])
{
    for (uint8_t b : bytes) {
        fdc_write_byte(b);
    }
}

void dor_write_and_settle(uint8_t value)
{
    port_out8(FDC_DOR, value);
    timer_sleep(MOTOR_SPIN_TICKS);
}

// SENSE INTERRUPT after a seek or recalibration: the present cylinder.
uint8_t fdc_sense_cylinder()
{
    fdc_write_byte(FDC_SENSE_INTERRUPT);
    fdc_read_byte();  // ST0
    return fdc_read_byte();
}

// The completion of a command must not be taken from an interrupt left over
// by an earlier one (a read that finished after its wait had given up).
void fdc_expect_irq()
{
    floppy_irq_flag = 0;
}

// Whether a READ DATA delivered its first sector. A read that starts on head
// 1 stops at the end of that track with the DMA count not yet spent: abnormal
// termination with only "end of cylinder" set, every sector read intact. Any
// other abnormal ending (no disk, missing address mark, CRC error) failed,
// whatever size code the controller repeats in the last byte.
bool fdc_read_completed(const uint8_t (&result)[READ_RESULT_BYTES])
{
    const uint8_t code = result[0] & ST0_INTERRUPT_CODE;
    const bool ended_well = code == ST0_NORMAL_TERMINATION ||
                            (code == ST0_ABNORMAL_TERMINATION && result[1] == ST1_END_OF_CYLINDER && result[2] == 0);
    return ended_well && result[6] == SECTOR_SIZE_CODE;
}

uint32_t chs_to_lba(uint8_t head, uint8_t cylinder, uint8_t sector)
{
    return (uint32_t{cylinder} * HEADS + head) * SECTORS_PER_TRACK + sector - 1;
}

// How many blocks from `first` a READ DATA that ended well moved. Its result
// names the sector after the last one moved (the result-phase table: R + 1,
// or at the end of a track R = 1 on the other head or the next cylinder),
// except that a sector with a deleted data mark ends the read with its own
// address. The difference is trusted only while it is one the transfer could
// have made - at least 1 and at most the channel's count - and the blocks
// beyond the cylinder are not counted: the 82077AA stops a multi-track read
// at the end of head 1. Any other answer vouches for the first sector alone.
uint16_t fdc_read_delivered(uint32_t first, const uint8_t (&result)[READ_RESULT_BYTES])
{
    const uint8_t cylinder = result[3];
    const uint8_t head = result[4];
    const uint8_t sector = result[5];
    if (head >= HEADS || sector == 0 || sector > SECTORS_PER_TRACK) {
        return 1;
    }
    const uint32_t after = chs_to_lba(head, cylinder, sector);
    if (after <= first || after - first > DMA_TRACK_BLOCKS) {
        return 1;
    }
    const uint32_t cylinder_end = (first / BLOCKS_PER_CYLINDER + 1) * BLOCKS_PER_CYLINDER;
    return static_cast<uint16_t>((after < cylinder_end ? after : cylinder_end) - first);
}

// Nothing the buffer holds may be served from now on.
void buffered_forget()
{
    buffered.count = 0;
}

// Whether `block` is among what the last transfer left in the buffer, and
// the buffer is still the one it landed in.
bool buffered_holds(uint16_t block)
{
    return buffered.count != 0 && buffered.address == dma_buffer_address() && block >= buffered.first &&
           block - buffered.first < buffered.count;
}

uint16_t fat_area_blocks(const uint8_t* boot_buffer)
{
    BootSector boot;
    mem_copy(&boot, boot_buffer, sizeof(boot));
    // 32-bit sums: a hostile sector must not wrap round into a plausible size.
    const uint32_t count = uint32_t{boot.fat_count} * boot.sectors_per_fat + boot.reserved_sectors;
    return count <= FLOPPY_SECTORS ? static_cast<uint16_t>(count) : 0;
}

// A buffer for `blocks` FAT-area blocks: the one from start-up when reusing
// and it is large enough, otherwise a fresh one.
bool fat_cache_reserve(uint16_t blocks, bool reuse)
{
    if (reuse && fat_cache != nullptr && blocks <= fat_cache_capacity) {
        return true;
    }
    if (fat_cache != nullptr) {
        heap_free(fat_cache);
    }
    fat_cache_capacity = 0;
    fat_cache = static_cast<uint8_t*>(heap_alloc(blocks * SECTOR_SIZE + CACHE_PADDING));
    if (fat_cache == nullptr) {
        return false;
    }
    fat_cache_capacity = blocks;
    return true;
}

bool floppy_read_blocks(uint16_t first, uint16_t count, uint8_t* destination)
{
    for (uint16_t i = 0; i < count; ++i) {
        if (!floppy_read_sector(first + i, destination + i * SECTOR_SIZE)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" void floppy_irq_work()
{
    floppy_irq_flag = 1;
    pic_send_eoi(FLOPPY_IRQ_LINE);
}

bool fdc_write_byte(uint8_t value)
{
    // Every command passes here. Whatever it is, it may fail, time out or
    // lead to another transfer; only a READ DATA that ends well tells again
    // what the buffer holds.
    buffered_forget();
    if (!fdc_wait_ready()) {
        return false;
    }
    port_out8(FDC_FIFO, value);
    return true;
}

uint8_t fdc_read_byte()
{
    return fdc_wait_ready() ? port_in8(FDC_FIFO) : 0;
}

bool fdc_wait_irq()
{
    // Woken by IRQ 6 itself, not by the next tick after it: a read that
    // waits a whole tick per sector would take a revolution's worth of
    // ticks for a track the controller moved in one go.
    if (!timer_sleep_until(IRQ_WAIT_TICKS, &floppy_irq_flag)) {
        return false;
    }
    floppy_irq_flag = 0;
    return true;
}

ChsAddress lba_to_chs(uint16_t block)
{
    const uint32_t per_cylinder = HEADS * SECTORS_PER_TRACK;
    floppy_position.head = static_cast<uint8_t>((block % per_cylinder) / SECTORS_PER_TRACK);
    floppy_position.cylinder = static_cast<uint8_t>(block / per_cylinder);
    floppy_position.sector = static_cast<uint8_t>(block % SECTORS_PER_TRACK + 1);
    return floppy_position;
}

bool fdc_seek(uint8_t head, uint8_t cylinder)
{
    if (head >= HEADS || cylinder >= CYLINDERS) {
        return false;
    }
    for (int attempt = 0; attempt < FDC_ATTEMPTS; ++attempt) {
        fdc_expect_irq();
        const uint8_t seek[] = {FDC_SEEK, static_cast<uint8_t>(head << 2 | DRIVE_0), cylinder};
        fdc_send(seek);
        if (fdc_wait_irq() && fdc_sense_cylinder() == cylinder) {
            return true;
        }
    }
    return false;
}

// Leaves the motor off either way; the motor flag is the caller's.
bool fdc_recalibrate()
{
    dor_write_and_settle(DOR_MOTOR_ON);
    for (int attempt = 0; attempt < FDC_ATTEMPTS; ++attempt) {
        fdc_expect_irq();
        const uint8_t recalibrate[] = {FDC_RECALIBRATE, DRIVE_0};
        fdc_send(recalibrate);
        if (!fdc_wait_irq()) {
            continue;
        }
        // A controller that offers no cylinder byte reads as 0 here.
        if (fdc_sense_cylinder() == 0) {
            dor_write_and_settle(DOR_MOTOR_OFF);
            return true;
        }
    }
    dor_write_and_settle(DOR_MOTOR_OFF);
    return false;
}

bool fdc_reset()
{
    fdc_write_byte(FDC_VERSION);
    if (fdc_read_byte() != FDC_VERSION_82077) {
        return false;  // only the enhanced controller's commands are used
    }
    fdc_send(CONFIGURE_BYTES);

    fdc_expect_irq();
    port_out8(FDC_DOR, DOR_RESET);
    port_out8(FDC_DOR, DOR_MOTOR_OFF);
    if (!fdc_wait_irq()) {
        return false;
    }
    for (int drive = 0; drive < RESET_SENSES; ++drive) {
        fdc_write_byte(FDC_SENSE_INTERRUPT);
        fdc_read_byte();
        fdc_read_byte();
    }
    // The reset cleared the configuration.
    fdc_send(CONFIGURE_BYTES);
    port_out8(FDC_CCR, CCR_500_KBPS);
    fdc_send(SPECIFY_BYTES);
    return fdc_recalibrate();
}

bool fdc_read_sector_chs(uint8_t head, uint8_t cylinder, uint8_t sector)
{
    if (head >= HEADS || cylinder >= CYLINDERS || sector == 0 || sector > SECTORS_PER_TRACK) {
        return false;
    }
    if (!dma_buffer_usable()) {
        return false;  // the controller would write wherever the channel points
    }
    for (int attempt = 0; attempt < FDC_ATTEMPTS; ++attempt) {
        // Re-armed for every attempt: a failed read has moved the channel's
        // address on (or masked it at terminal count), and the retry's sector
        // must land at the start of the buffer again.
        dma_floppy_setup();
        dma_floppy_mode_read();
        fdc_expect_irq();
        // Implied seek is on: the command moves the head itself.
        const uint8_t read_data[] = {
            FDC_READ_DATA,
            static_cast<uint8_t>(head << 2 | DRIVE_0),
            cylinder,
            head,
            sector,
            SECTOR_SIZE_CODE,
            TRACK_LAST_SECTOR,
            GAP3_LENGTH,
            DATA_LENGTH,
        };
        fdc_send(read_data);
        if (!fdc_wait_irq()) {
            continue;
        }
        uint8_t result[READ_RESULT_BYTES];
        for (uint8_t& byte : result) {
            byte = fdc_read_byte();
        }
        if (fdc_read_completed(result)) {
            const uint32_t first = chs_to_lba(head, cylinder, sector);
            buffered = {dma_buffer_address(), static_cast<uint16_t>(first), fdc_read_delivered(first, result)};
            return true;
        }
    }
    return false;
}

bool floppy_read_sector(uint16_t block, uint8_t* buffer)
{
    if (floppy_motor_on == 0 || block >= FLOPPY_SECTORS || buffer == nullptr) {
        return false;
    }
    if (block >= ROOT_FIRST_BLOCK && block <= ROOT_LAST_BLOCK && floppy_root_bypass == 0 && root_cache != nullptr) {
        mem_copy(buffer, root_cache + (block - ROOT_FIRST_BLOCK) * SECTOR_SIZE, SECTOR_SIZE);
        return true;
    }
    // A disk taken out or put in since the transfer: what the buffer holds
    // may belong to a disk that is no longer there. The line stays set until
    // the heads step with a disk in the drive, and reads go to the disk until
    // then.
    if ((port_in8(FDC_DIR) & DIR_DISK_CHANGED) != 0) {
        buffered_forget();
    }
    if (!READ_AHEAD || !buffered_holds(block)) {
        const ChsAddress at = lba_to_chs(block);
        if (!fdc_read_sector_chs(at.head, at.cylinder, at.sector)) {
            return false;
        }
    }
    // A fresh transfer starts with the block; one made before holds it
    // further on, in disk order.
    return dma_buffer_read(SECTOR_SIZE, (block - buffered.first) * SECTOR_SIZE, buffer);
}

void floppy_motor(bool on)
{
    if (on && floppy_drive_available != 0) {
        dor_write_and_settle(DOR_MOTOR_ON);
        floppy_motor_on = 1;
    } else {
        // The disk may be changed while the drive stands.
        buffered_forget();
        dor_write_and_settle(DOR_MOTOR_OFF);
        floppy_motor_on = 0;
    }
}

void fdc_set_enabled(bool enabled)
{
    buffered_forget();
    port_out8(FDC_DOR, enabled ? DOR_MOTOR_OFF : DOR_RESET);
}

bool floppy_load_root_cache()
{
    if (root_cache == nullptr) {
        root_cache = static_cast<uint8_t*>(heap_alloc(ROOT_CACHE_BYTES));
    }
    if (root_cache == nullptr) {
        floppy_drive_available = 0;
        floppy_root_bypass = 0;
        floppy_motor_on = 0;
        return false;
    }
    floppy_drive_available = 1;
    floppy_root_bypass = 1;
    mem_set(root_cache, 0, ROOT_CACHE_BYTES);
    floppy_motor(true);
    const bool loaded = floppy_read_blocks(ROOT_FIRST_BLOCK, ROOT_BLOCKS, root_cache);
    floppy_motor(false);
    floppy_root_bypass = 0;
    if (!loaded) {
        floppy_drive_available = 0;
        return false;
    }
    return true;
}

bool floppy_load_fat_cache(bool reuse)
{
    fat_cache_blocks = 0;  // from here on the old disk's FAT no longer counts
    auto* boot = static_cast<uint8_t*>(heap_alloc(BOOT_BUFFER_BYTES));
    if (boot == nullptr) {
        return false;
    }
    mem_set(boot, 0, BOOT_BUFFER_BYTES);
    floppy_motor(true);
    const bool boot_read = floppy_read_sector(0, boot);
    const uint16_t count = boot_read ? fat_area_blocks(boot) : 0;
    heap_free(boot);
    // A count beyond the disk (or none at all) is not a FAT12 disk of ours.
    if (count == 0 || !fat_cache_reserve(count, reuse)) {
        floppy_motor(false);
        return false;
    }
    mem_set(fat_cache, 0, fat_cache_capacity * SECTOR_SIZE + CACHE_PADDING);
    const bool loaded = floppy_read_blocks(0, count, fat_cache);
    floppy_motor(false);
    if (!loaded) {
        return false;  // the buffer stays for the next refresh; no block counts
    }
    fat_cache_blocks = count;
    return true;
}

bool floppy_refresh()
{
    buffered_forget();  // the disk is a new one; so are its blocks
    return floppy_load_root_cache() && floppy_load_fat_cache(true);
}

void floppy_init()
{
    root_cache = nullptr;
    fat_cache = nullptr;
    fat_cache_blocks = 0;
    floppy_irq_flag = 0;
    floppy_drive_available = 0;
    floppy_motor_on = 0;
    floppy_root_bypass = 1;
    floppy_position = {0, 0, 1};
    buffered_forget();
    idt_set_gate(FLOPPY_VECTOR, floppy_irq_handler, false);
    dma_floppy_setup();
    if (!fdc_reset()) {
        floppy_drive_available = 0;
        return;  // the system runs on without the floppy
    }
    // Allocates the root cache on first use; a failed allocation or load
    // leaves the drive unavailable until a refresh succeeds.
    floppy_load_root_cache();
}

const uint8_t* floppy_root_cache()
{
    return root_cache;
}

const uint8_t* floppy_fat_cache()
{
    return fat_cache;
}

uint16_t floppy_fat_cache_blocks()
{
    return fat_cache_blocks;
}

bool floppy_drive_is_available()
{
    return floppy_drive_available != 0;
}

bool floppy_motor_is_on()
{
    return floppy_motor_on != 0;
}

bool floppy_root_from_disk()
{
    return floppy_root_bypass != 0;
}

bool floppy_irq_pending()
{
    return floppy_irq_flag != 0;
}

ChsAddress floppy_last_position()
{
    return floppy_position;
}
