// The floppy driver and DMA channel 2 against the fake 82077AA: command and
// DMA byte sequences, reads, the root and FAT caches, and the bounds that
// keep a silent or missing drive from hanging the kernel.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "drivers/dma.h"
#include "drivers/floppy.h"
#include "fakes/fake_floppy.h"
#include "fakes/hw_test.h"
#include "mm/heap.h"
#include "mm/pmm.h"

namespace {

using fake::floppy::Disk;
using Bytes = std::vector<uint8_t>;
using PortValue = std::pair<uint16_t, uint32_t>;

constexpr uint16_t DOR = 0x3F2;
constexpr uint16_t FIFO = 0x3F5;
constexpr uint16_t CCR = 0x3F7;
constexpr std::initializer_list<uint16_t> DMA_PORTS = {0x04, 0x05, 0x0A, 0x0B, 0x0C, 0x81};

Bytes bytes(const uint8_t* first, size_t count)
{
    return {first, first + count};
}

// The writes to the given ports, in order.
std::vector<PortValue> writes_to_ports(std::initializer_list<uint16_t> ports)
{
    std::vector<PortValue> out;
    for (const auto& w : fake::port_writes) {
        if (std::find(ports.begin(), ports.end(), w.port) != ports.end()) {
            out.emplace_back(w.port, w.value);
        }
    }
    return out;
}

class FloppyTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::floppy::init_kernel_memory();
        fake::floppy::reset_driver();
        timers_reset_all();
        fake::floppy::attach();
        // Every byte depends on its place on the disk, so a wrong block shows.
        for (uint32_t i = 0; i < fdc().image.size(); ++i) {
            fdc().image[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);
        }
        set_fat_area(1, 2, 9);  // a standard 1.44 MB disk: 19 blocks
    }

    static fake::floppy::Controller& fdc() { return fake::floppy::controller(); }

    // The boot-sector fields of the disk in the drive that size the FAT cache.
    static void set_fat_area(uint16_t reserved, uint8_t fats, uint16_t sectors_per_fat)
    {
        Bytes& image = fdc().image;
        image[14] = static_cast<uint8_t>(reserved);
        image[15] = static_cast<uint8_t>(reserved >> 8);
        image[16] = fats;
        image[22] = static_cast<uint8_t>(sectors_per_fat);
        image[23] = static_cast<uint8_t>(sectors_per_fat >> 8);
    }

    static Bytes on_disk(uint32_t first_block, uint32_t blocks = 1, uint32_t padding = 0)
    {
        Bytes out = bytes(fdc().image.data() + first_block * SECTOR_SIZE, blocks * SECTOR_SIZE);
        out.resize(out.size() + padding, 0);
        return out;
    }

    // floppy_init and the start-up FAT load, then the records cleared.
    static void bring_up()
    {
        floppy_init();
        ASSERT_TRUE(floppy_drive_is_available());
        ASSERT_TRUE(floppy_load_fat_cache(false));
        forget_records();
    }

    // The DMA buffer where lowest-first allocation puts it once every frame
    // below `at` is taken; 0 takes every frame, so there is no buffer.
    static void place_dma_buffer(uint32_t at)
    {
        pmm_free_frames(dma_buffer_address(), DMA_BUFFER_FRAMES);
        pmm_mark_region_used(0, at != 0 ? at : pmm_memory_size(false));
        dma_buffer_alloc();
        ASSERT_EQ(dma_buffer_address(), at);
    }

    static void forget_records()
    {
        fake::port_writes.clear();
        fdc().reads = 0;
    }

    // The block as floppy_read_sector delivers it; nothing when the read fails.
    static Bytes read(uint16_t block)
    {
        Bytes buffer(SECTOR_SIZE);
        return floppy_read_sector(block, buffer.data()) ? buffer : Bytes{};
    }
};

// ---- geometry and controller byte sequences ----

TEST_F(FloppyTest, LbaToChsWalksSectorsThenHeadsThenCylinders)
{
    for (const auto& [block, head, cylinder, sector] : std::vector<std::array<int, 4>>{
             {0, 0, 0, 1}, {17, 0, 0, 18}, {18, 1, 0, 1}, {36, 0, 1, 1}, {2879, 1, 79, 18}}) {
        const ChsAddress at = lba_to_chs(static_cast<uint16_t>(block));
        EXPECT_EQ((std::array<int, 3>{at.head, at.cylinder, at.sector}), (std::array<int, 3>{head, cylinder, sector}))
            << "block " << block;
        EXPECT_EQ(floppy_last_position().sector, sector) << "the last position is kept";
    }
}

TEST_F(FloppyTest, ResetSendsTheManualsSequenceAndRecalibrates)
{
    ASSERT_TRUE(fdc_reset());
    const std::vector<PortValue> expected = {
        {FIFO, 0x10},                                            // VERSION
        {FIFO, 0x13}, {FIFO, 0x00}, {FIFO, 0x47}, {FIFO, 0x00},  // CONFIGURE
        {DOR, 0x00},  {DOR, 0x0C},                               // reset pulse
        {FIFO, 0x08}, {FIFO, 0x08}, {FIFO, 0x08}, {FIFO, 0x08},  // one SENSE INTERRUPT per drive
        {FIFO, 0x13}, {FIFO, 0x00}, {FIFO, 0x47}, {FIFO, 0x00},  // CONFIGURE again
        {CCR, 0x00},                                             // 500 kbit/s
        {FIFO, 0x03}, {FIFO, 0x30}, {FIFO, 0x20},                // SPECIFY
        {DOR, 0x1C},                                             // motor on
        {FIFO, 0x07}, {FIFO, 0x00},                              // RECALIBRATE drive 0
        {FIFO, 0x08},                                            // SENSE INTERRUPT
        {DOR, 0x0C},                                             // motor off
    };
    EXPECT_EQ(writes_to_ports({DOR, FIFO, CCR}), expected);
    EXPECT_EQ(fdc().resets, 1);
    EXPECT_EQ(fdc().protocol_errors, 0) << "every result byte was read, none invented";
    EXPECT_FALSE(floppy_motor_is_on()) << "recalibration leaves the motor flag alone";
}

TEST_F(FloppyTest, ResetRefusesAPlainOrSilentControllerAndRecalibrationTriesTenTimes)
{
    fdc().version = 0x80;  // a plain NEC 765
    EXPECT_FALSE(fdc_reset());
    EXPECT_EQ(fake::writes_to(FIFO), (std::vector<uint32_t>{0x10}));

    fake::port_writes.clear();
    fdc().version = 0x90;
    fdc().irq_on_reset = false;
    EXPECT_FALSE(fdc_reset());
    EXPECT_EQ(fake::writes_to(FIFO).size(), 5u) << "nothing after the reset that never interrupted";

    fdc().recalibrate_failures = 2;
    fdc().commands.clear();
    EXPECT_TRUE(fdc_recalibrate());
    EXPECT_EQ(fdc().commands.size(), 6u) << "three RECALIBRATE and SENSE INTERRUPT pairs";

    fdc().recalibrate_cylinder = 3;  // the head never reports track 0
    fdc().commands.clear();
    EXPECT_FALSE(fdc_recalibrate());
    EXPECT_EQ(fdc().commands.size(), 20u);
    EXPECT_EQ(fake::writes_to(DOR).back(), 0x0Cu) << "the motor is off after giving up";
}

TEST_F(FloppyTest, SeekSendsHeadAndCylinderAndChecksWhereTheHeadArrived)
{
    EXPECT_TRUE(fdc_seek(1, 40));
    EXPECT_EQ(fake::writes_to(FIFO), (std::vector<uint32_t>{0x0F, 0x04, 40, 0x08}));

    fake::port_writes.clear();
    fdc().seek_failures = 1;
    EXPECT_TRUE(fdc_seek(0, 0));
    EXPECT_EQ(fake::writes_to(FIFO), (std::vector<uint32_t>{0x0F, 0x00, 0, 0x08, 0x0F, 0x00, 0, 0x08}));

    fake::port_writes.clear();
    EXPECT_FALSE(fdc_seek(2, 0));
    EXPECT_FALSE(fdc_seek(0, 80));
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(FloppyTest, ReadDataProgramsTheChannelThenSendsTheNineCommandBytes)
{
    ASSERT_EQ(dma_buffer_address(), 0x2000u);
    fdc().dor = 0x1C;  // motor running
    ASSERT_TRUE(fdc_read_sector_chs(1, 79, 18));
    const std::vector<PortValue> dma = {
        {0x0A, 0x06}, {0x0C, 0xFF}, {0x04, 0x00}, {0x04, 0x20}, {0x0C, 0xFF},
        {0x05, 0xFF}, {0x05, 0x23}, {0x81, 0x00}, {0x0A, 0x02},  // dma_floppy_setup
        {0x0A, 0x06}, {0x0B, 0x46}, {0x0A, 0x02},                // dma_floppy_mode_read
    };
    EXPECT_EQ(writes_to_ports(DMA_PORTS), dma);
    EXPECT_EQ(fake::writes_to(FIFO), (std::vector<uint32_t>{0xC6, 0x04, 79, 1, 18, 0x02, 0x12, 0x1B, 0xFF}));
    EXPECT_EQ(fdc().protocol_errors, 0) << "all seven result bytes were read";

    fake::port_writes.clear();
    dma_floppy_mode_write();
    EXPECT_EQ(writes_to_ports(DMA_PORTS), (std::vector<PortValue>{{0x0A, 0x06}, {0x0B, 0x4A}, {0x0A, 0x02}}));

    fake::port_writes.clear();
    EXPECT_FALSE(fdc_read_sector_chs(2, 0, 1));
    EXPECT_FALSE(fdc_read_sector_chs(0, 80, 1));
    EXPECT_FALSE(fdc_read_sector_chs(0, 0, 19));
    EXPECT_FALSE(fdc_read_sector_chs(0, 0, 0));
    EXPECT_TRUE(fake::port_writes.empty()) << "positions off the disk touch no port";
}

TEST_F(FloppyTest, TheInterruptSetsTheFlagAndEveryWaitGivesUpWithinItsBound)
{
    floppy_irq_work();
    EXPECT_EQ(fake::writes_to(0x20), (std::vector<uint32_t>{0x20}));
    EXPECT_TRUE(fake::writes_to(0xA0).empty()) << "IRQ 6 is the master's: the slave hears nothing";
    EXPECT_TRUE(fdc_wait_irq());
    EXPECT_FALSE(floppy_irq_pending()) << "the wait takes the flag";

    // The status polls spin, the interrupt wait halts from tick to tick.
    fake::interrupts_on = true;
    fdc().ready = false;  // RQM never comes
    fake::relax_calls = 0;
    EXPECT_FALSE(fdc_write_byte(0x10));
    EXPECT_EQ(fake::relax_calls, 500);
    EXPECT_EQ(fake::halts, 0);
    EXPECT_TRUE(fake::writes_to(FIFO).empty());
    EXPECT_EQ(fdc_read_byte(), 0);

    fake::relax_calls = 0;  // every turn is one timer tick
    EXPECT_FALSE(fdc_wait_irq());
    EXPECT_GE(fake::relax_calls, 300);
    EXPECT_LE(fake::relax_calls, 700);
    EXPECT_EQ(fake::halts, 300);
}

// ---- the DMA buffer ----

TEST_F(FloppyTest, DmaBufferReadStaysInsideTheSixtyFourKilobytes)
{
    Bytes out(0x10000);
    std::memset(fake::phys(dma_buffer_address()), 0x5A, 0x10000);
    EXPECT_TRUE(dma_buffer_read(0x10000, 0, out.data()));
    EXPECT_EQ(out.back(), 0x5A);
    EXPECT_FALSE(dma_buffer_read(0x10000, 1, out.data()));
    EXPECT_FALSE(dma_buffer_read(0x10001, 0, out.data()));
    EXPECT_FALSE(dma_buffer_read(1, 0xFFFFFFFF, out.data())) << "no wrap-round of offset + count";
    EXPECT_FALSE(dma_buffer_read(16, 0, nullptr));
    EXPECT_TRUE(dma_buffer_read(0, 0x10000, out.data()));
    place_dma_buffer(0);
    EXPECT_FALSE(dma_buffer_read(16, 0, out.data())) << "no buffer, nothing to copy from";
}

TEST_F(FloppyTest, TheChannelReachesOnlyABufferThatHoldsATrackInOneSixtyFourKilobyteBank)
{
    bring_up();
    floppy_motor(true);
    place_dma_buffer(0x800000);  // above the first bank: the page register carries it
    EXPECT_EQ(read(100), on_disk(100));
    EXPECT_EQ(fake::writes_to(0x81), (std::vector<uint32_t>{0x80}));

    forget_records();
    place_dma_buffer(0x80F000);  // the track would cross 0x810000, where the 8237 wraps
    EXPECT_TRUE(read(100).empty());
    place_dma_buffer(0);  // none: the controller would write at 0
    EXPECT_TRUE(read(100).empty());
    EXPECT_EQ(fdc().reads, 0);
}

// ---- reading sectors ----

TEST_F(FloppyTest, ReadsNeedTheMotorWhichNeedsTheDriveAndDeliverTheFirstSectorMoved)
{
    bring_up();
    EXPECT_TRUE(read(40).empty()) << "the motor flag is off";
    floppy_motor(true);
    EXPECT_EQ(read(2879), on_disk(2879));  // head 1: ends at the track's end
    EXPECT_EQ(read(40), on_disk(40));      // head 0: ends at terminal count
    EXPECT_EQ(fdc().transfers.back().bytes, DMA_TRACK_BYTES);
    EXPECT_EQ(fdc().transfers.back().address, dma_buffer_address());
    EXPECT_TRUE(read(2880).empty());
    EXPECT_FALSE(floppy_read_sector(41, nullptr));
    EXPECT_EQ(fdc().reads, 2) << "refused reads never reach the controller";

    floppy_motor(false);
    fdc_set_enabled(false);  // parked for restart: held in reset
    fdc_set_enabled(true);
    EXPECT_EQ(fake::writes_to(DOR), (std::vector<uint32_t>{0x1C, 0x0C, 0x00, 0x0C}));
}

// A failed attempt has moved the channel's address on, so each retry must
// re-arm it. An emulator without media ends READ DATA at once, abnormally,
// but still repeats size code 2; a real empty drive never ends it at all.
TEST_F(FloppyTest, ReadsRetryOnARearmedChannelAndGiveUpOnAnUnreadableOrEjectedDisk)
{
    bring_up();
    floppy_motor(true);
    fdc().read_errors = 1;  // the first attempt moves a corrupt sector, then fails
    EXPECT_EQ(read(40), on_disk(40));
    EXPECT_EQ(fdc().reads, 2);

    fdc().reads = 0;
    fdc().result_size_code = 3;  // a normal end, but 1024-byte sectors: not this disk
    EXPECT_TRUE(read(100).empty()) << "a block the last read did not bring along";
    EXPECT_EQ(fdc().reads, 10);
    fdc().result_size_code = -1;

    fdc().reads = 0;
    fdc().disk = Disk::Unreadable;
    EXPECT_TRUE(read(40).empty());
    EXPECT_EQ(fdc().reads, 10);

    fake::floppy::eject();
    fake::relax_calls = 0;
    EXPECT_TRUE(read(40).empty());
    EXPECT_LT(fake::relax_calls, 10 * (9 * 500 + 2 * 300 + 100)) << "10 attempts of 9 bytes and one interrupt wait";
    fake::floppy::insert();
    EXPECT_EQ(read(40), on_disk(40));
}

// ---- read-ahead ----

// Stale bytes lie behind every transfer that stops short of 18 sectors: a
// block must come from the buffer only if the last READ DATA moved it.
TEST_F(FloppyTest, TheBufferServesTheBlocksTheLastTransferMovedAndNoOthers)
{
    bring_up();
    floppy_motor(true);
    fdc().deleted_data = {80};
    // Block, and whether it takes a READ DATA of its own.
    for (const auto& [block, fresh] : std::vector<std::pair<uint16_t, bool>>{
             {40, true},  // head 0, sector 5: terminal count after 18 sectors, 40-57
             {41, false},
             {57, false},
             {40, false},
             {58, true},  // head 1, sector 5: the end of the cylinder after 14, 58-71
             {71, false},
             {72, true},  // the next cylinder, ended by the deleted sector 80: 72-79
             {79, false},
             {80, true},
             {81, true},
             {39, true},
         }) {
        forget_records();
        EXPECT_EQ(read(block), on_disk(block)) << block;
        EXPECT_EQ(fdc().reads, fresh ? 1 : 0) << block;
    }
}

TEST_F(FloppyTest, WhateverMayHaveChangedTheBufferOrTheDiskSendsTheNextReadToTheController)
{
    bring_up();
    floppy_motor(true);
    const std::vector<std::pair<const char*, std::function<void()>>> events = {
        {"the motor stopped", [] { floppy_motor(false); }},
        {"a read failed",  // its corrupt sector lands where block 40 was
         [] {
             fdc().read_errors = 10;  // every attempt
             EXPECT_TRUE(read(100).empty());
         }},
        {"a read timed out",
         [] {
             fake::floppy::eject();
             EXPECT_TRUE(read(100).empty());
             fake::floppy::insert();
         }},
        {"a seek failed",
         [] {
             fdc().seek_failures = 10;  // every attempt
             EXPECT_FALSE(fdc_seek(0, 1));
         }},
        {"a recalibration failed",
         [] {
             fdc().recalibrate_failures = 10;  // every attempt
             EXPECT_FALSE(fdc_recalibrate());
         }},
        {"the controller was reset", [] { EXPECT_TRUE(fdc_reset()); }},
        {"the controller was held in reset",
         [] {
             fdc_set_enabled(false);
             fdc_set_enabled(true);
         }},
        // Taken out and put back with nothing read in between: only the
        // drive's disk-change line tells.
        {"the disk went out and came back",
         [] {
             fake::floppy::eject();
             fake::floppy::insert();
         }},
    };
    for (const auto& [name, event] : events) {
        ASSERT_EQ(read(40), on_disk(40)) << name;  // 40-57 in the buffer
        event();
        floppy_motor(true);
        forget_records();
        EXPECT_EQ(read(40), on_disk(40)) << name;
        EXPECT_EQ(fdc().reads, 1) << name;
    }

    // A refresh reads the new disk even while the motor runs on.
    ASSERT_EQ(read(18), on_disk(18));  // 18-35, the root blocks among them
    fdc().image[19 * SECTOR_SIZE] ^= 0xFF;
    ASSERT_TRUE(floppy_refresh());
    EXPECT_EQ(bytes(floppy_root_cache(), SECTOR_SIZE), on_disk(19));
}

TEST_F(FloppyTest, EveryBlockOfAFormattedImageReadsAsTheImageFileHoldsIt)
{
    // Bytes that differ from block to block, so that one served from the
    // wrong place shows.
    std::string filler(1400 * 1024, 0);
    for (size_t i = 0; i < filler.size(); ++i) {
        filler[i] = static_cast<char>((i * 2654435761u) >> 24);
    }
    fdc().image = fake::floppy::make_image({{"FILLER.BIN", filler}});
    bring_up();
    floppy_motor(true);
    // In disk order, and hopping 7 blocks on, so that transfers start and
    // stop all over the tracks.
    for (const uint32_t stride : {1u, 7u}) {
        fdc().reads = 0;
        for (uint32_t i = 0; i < FLOPPY_SECTORS; ++i) {
            const auto block = static_cast<uint16_t>(i * stride % FLOPPY_SECTORS);
            ASSERT_EQ(read(block), on_disk(block)) << "block " << block << ", stride " << stride;
        }
        if (stride == 1) {
            EXPECT_EQ(fdc().reads, 2 * 80) << "one READ DATA a track";
        }
    }
}

// ---- the root and FAT caches ----

TEST_F(FloppyTest, StartUpCachesTheRootAndFatAreasAndServesRootBlocksFromMemory)
{
    floppy_init();
    EXPECT_EQ(fake::writes_to(0x21).back() & 0x40, 0u) << "IRQ 6 is open";
    ASSERT_TRUE(floppy_load_fat_cache(false));
    EXPECT_TRUE(floppy_drive_is_available());
    EXPECT_FALSE(floppy_root_from_disk());
    EXPECT_FALSE(floppy_motor_is_on());
    ASSERT_NE(floppy_root_cache(), nullptr);
    EXPECT_EQ(bytes(floppy_root_cache(), ROOT_CACHE_BYTES), on_disk(19, ROOT_BLOCKS, CACHE_PADDING));
    ASSERT_NE(floppy_fat_cache(), nullptr);
    EXPECT_EQ(floppy_fat_cache_blocks(), 19);
    EXPECT_EQ(bytes(floppy_fat_cache(), 19 * SECTOR_SIZE + CACHE_PADDING), on_disk(0, 19, CACHE_PADDING));

    forget_records();
    floppy_motor(true);
    fake::floppy::eject();
    EXPECT_EQ(read(19), on_disk(19));
    EXPECT_EQ(read(32), on_disk(32));
    EXPECT_EQ(fdc().reads, 0);
    EXPECT_TRUE(read(33).empty()) << "block 33 goes to the empty drive";
    EXPECT_GT(fdc().reads, 0);
}

// A refresh must never write through a cache pointer that start-up left null.
TEST_F(FloppyTest, TheDriveIsUnavailableAfterAFailedStartUpOrRootLoadUntilARefreshSucceeds)
{
    fdc().version = 0x80;
    floppy_init();
    EXPECT_FALSE(floppy_drive_is_available());
    EXPECT_EQ(floppy_root_cache(), nullptr);
    floppy_motor(true);
    EXPECT_FALSE(floppy_motor_is_on()) << "no motor without a drive";
    EXPECT_EQ(fake::writes_to(DOR).back(), 0x0Cu);
    EXPECT_TRUE(read(19).empty());

    fdc().version = 0x90;
    std::vector<void*> hoard;  // the whole heap
    for (const uint32_t size : {4096u, 16u}) {
        for (void* p = heap_alloc(size); p != nullptr; p = heap_alloc(size)) {
            hoard.push_back(p);
        }
    }
    EXPECT_FALSE(floppy_refresh());
    EXPECT_EQ(floppy_root_cache(), nullptr);
    EXPECT_FALSE(floppy_drive_is_available());
    for (void* p : hoard) {
        heap_free(p);
    }
    EXPECT_TRUE(floppy_refresh());
    EXPECT_EQ(floppy_fat_cache_blocks(), 19);

    fake::floppy::eject();
    EXPECT_FALSE(floppy_refresh());
    EXPECT_FALSE(floppy_drive_is_available());
    EXPECT_FALSE(floppy_motor_is_on());
    EXPECT_FALSE(floppy_root_from_disk());
    floppy_motor(true);
    EXPECT_TRUE(read(19).empty());

    fake::floppy::insert();
    EXPECT_TRUE(floppy_refresh());
    EXPECT_TRUE(floppy_drive_is_available());
    floppy_motor(true);
    EXPECT_EQ(read(19), on_disk(19));
}

TEST_F(FloppyTest, ARefreshWithALargerFatAreaReallocatesInsteadOfOverrunning)
{
    bring_up();
    auto* neighbour = static_cast<uint8_t*>(heap_alloc(64));  // carved right after the FAT cache
    ASSERT_NE(neighbour, nullptr);
    std::memset(neighbour, 0xA5, 64);

    set_fat_area(1, 2, 14);  // 29 blocks instead of 19
    ASSERT_TRUE(floppy_refresh());
    EXPECT_EQ(floppy_fat_cache_blocks(), 29);
    EXPECT_EQ(bytes(floppy_fat_cache(), 29 * SECTOR_SIZE), on_disk(0, 29));
    EXPECT_EQ(bytes(neighbour, 64), Bytes(64, 0xA5));

    const uint32_t in_use = heap_control_block()->used_blocks;
    const uint8_t* kept = floppy_fat_cache();
    set_fat_area(1, 2, 3);  // smaller again: the larger buffer serves
    ASSERT_TRUE(floppy_refresh());
    EXPECT_EQ(floppy_fat_cache(), kept);
    EXPECT_EQ(floppy_fat_cache_blocks(), 7);
    EXPECT_EQ(heap_control_block()->used_blocks, in_use);
}

TEST_F(FloppyTest, AFailedFatLoadCountsNoBlockKeepsItsBufferAndLeaksNothing)
{
    bring_up();
    const uint32_t in_use = heap_control_block()->used_blocks;
    const uint8_t* kept = floppy_fat_cache();
    // No FAT area at all; far beyond the disk; a size that wraps to 19 in 16 bits.
    for (const auto& [reserved, fats, sectors_per_fat] :
         std::vector<std::array<int, 3>>{{0, 0, 9}, {1, 255, 0xFFFF}, {19, 2, 0x8000}}) {
        set_fat_area(static_cast<uint16_t>(reserved), static_cast<uint8_t>(fats),
                     static_cast<uint16_t>(sectors_per_fat));
        EXPECT_FALSE(floppy_load_fat_cache(true)) << reserved << " " << fats << " " << sectors_per_fat;
        EXPECT_EQ(floppy_fat_cache_blocks(), 0) << "no FAT of the old disk may stand for the new one";
        EXPECT_FALSE(floppy_motor_is_on());
    }
    set_fat_area(1, 2, 9);
    fdc().disk = Disk::Unreadable;
    EXPECT_FALSE(floppy_load_fat_cache(true));
    EXPECT_EQ(floppy_fat_cache_blocks(), 0);
    EXPECT_EQ(heap_control_block()->used_blocks, in_use) << "the boot-sector buffer went back";

    fdc().disk = Disk::Inserted;
    EXPECT_TRUE(floppy_load_fat_cache(true));
    EXPECT_EQ(floppy_fat_cache(), kept);
    EXPECT_EQ(floppy_fat_cache_blocks(), 19);
    EXPECT_EQ(heap_control_block()->used_blocks, in_use);
}

}  // namespace
