// The floppy driver and DMA channel 2 against the fake 82077AA: command and
// DMA byte sequences, reads, the root and FAT caches, and the bounds that
// keep a silent or missing drive from hanging the kernel.
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "drivers/dma.h"
#include "drivers/floppy.h"
#include "fakes/fake_floppy.h"
#include "fakes/hw_test.h"
#include "mm/heap.h"

namespace {

using fake::floppy::Disk;
using PortValue = std::pair<uint16_t, uint32_t>;

constexpr uint16_t DOR = 0x3F2;
constexpr uint16_t FIFO = 0x3F5;
constexpr uint16_t CCR = 0x3F7;

// Every sector starts with its block number, followed by a pattern of it.
std::vector<uint8_t> numbered_image()
{
    std::vector<uint8_t> image(fake::floppy::IMAGE_BYTES);
    for (uint32_t block = 0; block < FLOPPY_SECTORS; ++block) {
        uint8_t* sector = image.data() + block * SECTOR_SIZE;
        for (uint32_t i = 0; i < SECTOR_SIZE; ++i) {
            sector[i] = static_cast<uint8_t>(block * 7 + i);
        }
        sector[0] = static_cast<uint8_t>(block);
        sector[1] = static_cast<uint8_t>(block >> 8);
    }
    return image;
}

// The boot-sector fields the FAT cache size comes from.
void set_fat_area(std::vector<uint8_t>& image, uint16_t reserved, uint8_t fats, uint16_t sectors_per_fat)
{
    image[14] = static_cast<uint8_t>(reserved);
    image[15] = static_cast<uint8_t>(reserved >> 8);
    image[16] = fats;
    image[22] = static_cast<uint8_t>(sectors_per_fat);
    image[23] = static_cast<uint8_t>(sectors_per_fat >> 8);
}

std::vector<uint8_t> sector_of(const std::vector<uint8_t>& image, uint32_t block)
{
    const auto* first = image.data() + block * SECTOR_SIZE;
    return {first, first + SECTOR_SIZE};
}

// Writes to the controller's own ports, in order.
std::vector<PortValue> fdc_writes()
{
    std::vector<PortValue> out;
    for (const auto& w : fake::port_writes) {
        if (w.port == DOR || w.port == FIFO || w.port == CCR) {
            out.emplace_back(w.port, w.value);
        }
    }
    return out;
}

std::vector<PortValue> dma_sequence()
{
    std::vector<PortValue> out;
    for (const auto& w : fake::floppy::dma_writes()) {
        out.emplace_back(w.port, w.value);
    }
    return out;
}

uint32_t heap_blocks_in_use()
{
    return heap_control_block()->used_blocks;
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
        image = numbered_image();
        set_fat_area(image, 1, 2, 9);
        fdc().image = image;
    }

    static fake::floppy::Controller& fdc() { return fake::floppy::controller(); }

    // floppy_init and the start-up FAT load, then the records cleared.
    void bring_up()
    {
        floppy_init();
        ASSERT_EQ(floppy_drive_available, 1);
        ASSERT_TRUE(floppy_load_fat_cache(false));
        forget_records();
    }

    static void forget_records()
    {
        fake::port_writes.clear();
        fdc().commands.clear();
        fdc().transfers.clear();
        fdc().reads = 0;
        fake::relax_calls = 0;
    }

    std::vector<uint8_t> read_block(uint16_t block, bool* ok)
    {
        std::vector<uint8_t> buffer(SECTOR_SIZE, 0xCC);
        *ok = floppy_read_sector(block, buffer.data());
        return buffer;
    }

    std::vector<uint8_t> image;
};

// ---- geometry ----

TEST_F(FloppyTest, LbaToChsWalksSectorsThenHeadsThenCylinders)
{
    struct Case {
        uint16_t block;
        uint8_t head, cylinder, sector;
    };
    for (const Case& c :
         {Case{0, 0, 0, 1}, Case{17, 0, 0, 18}, Case{18, 1, 0, 1}, Case{36, 0, 1, 1}, Case{2879, 1, 79, 18}}) {
        const ChsAddress at = lba_to_chs(c.block);
        EXPECT_EQ(at.head, c.head) << c.block;
        EXPECT_EQ(at.cylinder, c.cylinder) << c.block;
        EXPECT_EQ(at.sector, c.sector) << c.block;
        EXPECT_EQ(floppy_position.sector, c.sector) << "the last position is kept";
    }
}

// ---- controller byte sequences ----

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
    EXPECT_EQ(fdc_writes(), expected);
    EXPECT_EQ(fdc().resets, 1);
    EXPECT_EQ(fdc().protocol_errors, 0) << "every result byte was read, none invented";
    EXPECT_EQ(floppy_motor_on, 0) << "recalibration leaves the motor flag alone";
}

TEST_F(FloppyTest, ResetRefusesControllersThatAreNotEnhancedOrDoNotAnswer)
{
    fdc().version = 0x80;  // a plain NEC 765
    EXPECT_FALSE(fdc_reset());
    EXPECT_EQ(fdc_writes(), (std::vector<PortValue>{{FIFO, 0x10}}));

    fake::port_writes.clear();
    fdc().version = 0x90;
    fdc().irq_on_reset = false;
    EXPECT_FALSE(fdc_reset());
    EXPECT_EQ(fake::writes_to(FIFO).size(), 5u) << "nothing after the reset that never interrupted";

    fake::port_writes.clear();
    fdc().irq_on_reset = true;
    fdc().recalibrate_cylinder = 3;  // the head never reports track 0
    EXPECT_FALSE(fdc_reset());
    int recalibrations = 0;
    for (const auto& cmd : fdc().commands) {
        recalibrations += cmd[0] == 0x07 ? 1 : 0;
    }
    EXPECT_EQ(recalibrations, 10);
    EXPECT_EQ(fake::writes_to(DOR).back(), 0x0Cu) << "the motor is off after giving up";
}

TEST_F(FloppyTest, RecalibrationRetriesUntilTheHeadIsOnTrackZero)
{
    fdc().recalibrate_failures = 2;
    EXPECT_TRUE(fdc_recalibrate());
    EXPECT_EQ(fdc().commands.size(), 6u);  // three RECALIBRATE + SENSE INTERRUPT pairs
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
    ASSERT_EQ(dma_buffer, 0x2000u);
    fdc().dor = 0x1C;  // motor running
    ASSERT_TRUE(fdc_read_sector_chs(1, 79, 18));
    const std::vector<PortValue> dma = {
        {0x0A, 0x06}, {0x0C, 0xFF}, {0x04, 0x00}, {0x04, 0x20}, {0x0C, 0xFF},
        {0x05, 0xFF}, {0x05, 0x23}, {0x81, 0x00}, {0x0A, 0x02},  // dma_floppy_setup
        {0x0A, 0x06}, {0x0B, 0x46}, {0x0A, 0x02},                // dma_floppy_mode_read
    };
    EXPECT_EQ(dma_sequence(), dma);
    EXPECT_EQ(fake::writes_to(FIFO), (std::vector<uint32_t>{0xC6, 0x04, 79, 1, 18, 0x02, 0x12, 0x1B, 0xFF}));
    EXPECT_EQ(fdc().protocol_errors, 0) << "all seven result bytes were read";

    fake::port_writes.clear();
    dma_floppy_mode_write();
    EXPECT_EQ(dma_sequence(), (std::vector<PortValue>{{0x0A, 0x06}, {0x0B, 0x4A}, {0x0A, 0x02}}));
}

TEST_F(FloppyTest, ReadDataRefusesPositionsOffTheDiskWithoutTouchingTheHardware)
{
    EXPECT_FALSE(fdc_read_sector_chs(2, 0, 1));
    EXPECT_FALSE(fdc_read_sector_chs(0, 80, 1));
    EXPECT_FALSE(fdc_read_sector_chs(0, 0, 19));
    EXPECT_FALSE(fdc_read_sector_chs(0, 0, 0));
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(FloppyTest, PollsAndInterruptWaitsGiveUpWithinTheirBounds)
{
    fdc().ready = false;  // RQM never comes
    EXPECT_FALSE(fdc_write_byte(0x10));
    EXPECT_EQ(fake::relax_calls, 500);
    EXPECT_TRUE(fake::writes_to(FIFO).empty());
    EXPECT_EQ(fdc_read_byte(), 0);

    fake::relax_calls = 0;
    uint32_t ticks = 0;
    fake::on_relax = [&ticks] {
        ++ticks;
        timer_tick(0);
    };
    EXPECT_FALSE(fdc_wait_irq());
    EXPECT_GE(ticks, 300u);
    EXPECT_LE(ticks, 700u);
}

TEST_F(FloppyTest, TheInterruptSetsTheFlagAndAcknowledgesLineSix)
{
    floppy_irq_work();
    EXPECT_EQ(floppy_irq_flag, 1);
    EXPECT_EQ(fake::writes_to(0x20), (std::vector<uint32_t>{0x20}));
    EXPECT_TRUE(fdc_wait_irq());
    EXPECT_EQ(floppy_irq_flag, 0) << "the wait takes the flag";
}

// ---- DMA buffer ----

TEST_F(FloppyTest, DmaBufferReadStaysInsideTheSixtyFourKilobytes)
{
    std::vector<uint8_t> out(0x10000);
    std::memset(fake::phys(dma_buffer), 0x5A, 0x10000);
    EXPECT_TRUE(dma_buffer_read(0x10000, 0, out.data()));
    EXPECT_EQ(out.back(), 0x5A);
    EXPECT_FALSE(dma_buffer_read(0x10000, 1, out.data()));
    EXPECT_FALSE(dma_buffer_read(0x10001, 0, out.data()));
    EXPECT_FALSE(dma_buffer_read(1, 0xFFFFFFFF, out.data())) << "no wrap-round of offset + count";
    EXPECT_FALSE(dma_buffer_read(16, 0, nullptr));
    EXPECT_TRUE(dma_buffer_read(0, 0x10000, out.data()));

    dma_buffer = 0;
    EXPECT_FALSE(dma_buffer_read(16, 0, out.data())) << "no buffer, nothing to copy from";
}

TEST_F(FloppyTest, TheChannelReachesOnlyABufferThatHoldsATrackInOneSixtyFourKilobyteBank)
{
    bring_up();
    std::vector<uint8_t> buffer(SECTOR_SIZE);

    dma_buffer = 0x800000;  // above the first bank: the page register carries it
    floppy_motor(true);
    ASSERT_TRUE(floppy_read_sector(100, buffer.data()));
    EXPECT_EQ(buffer, sector_of(image, 100));
    EXPECT_EQ(fake::writes_to(0x81), (std::vector<uint32_t>{0x80}));
    EXPECT_EQ(fdc().transfers.back().address, 0x800000u);

    forget_records();
    dma_buffer = 0x80F000;  // the track would cross 0x810000, where the 8237 wraps
    EXPECT_FALSE(floppy_read_sector(100, buffer.data()));
    dma_buffer = 0;  // never allocated: the controller would write at 0
    EXPECT_FALSE(floppy_read_sector(100, buffer.data()));
    EXPECT_EQ(fdc().reads, 0);
}

// ---- reading sectors ----

TEST_F(FloppyTest, ReadSectorDeliversTheFirstSectorOfWhatTheControllerMoved)
{
    bring_up();
    floppy_motor(true);
    bool ok = false;
    EXPECT_EQ(read_block(2879, &ok), sector_of(image, 2879));  // head 1: ends at the track's end
    EXPECT_TRUE(ok);
    EXPECT_EQ(read_block(40, &ok), sector_of(image, 40));  // head 0: ends at terminal count
    EXPECT_TRUE(ok);
    EXPECT_EQ(fdc().transfers.back().bytes, DMA_TRACK_BYTES);
    EXPECT_EQ(fdc().transfers.back().address, dma_buffer);

    forget_records();
    read_block(2880, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(floppy_read_sector(41, nullptr));
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(FloppyTest, ReadSectorRefusesWhileTheMotorFlagIsOff)
{
    bring_up();
    bool ok = true;
    read_block(40, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(FloppyTest, MotorOnWhileTheDriveIsUnavailableTurnsItOffAndReadsFail)
{
    bring_up();
    floppy_drive_available = 0;
    floppy_motor(true);
    EXPECT_EQ(fake::writes_to(DOR), (std::vector<uint32_t>{0x0C}));
    EXPECT_EQ(floppy_motor_on, 0);
    bool ok = true;
    read_block(40, &ok);
    EXPECT_FALSE(ok);

    floppy_drive_available = 1;
    floppy_motor(true);
    EXPECT_EQ(fake::writes_to(DOR).back(), 0x1Cu);
    EXPECT_EQ(floppy_motor_on, 1);
    floppy_motor(false);
    EXPECT_EQ(fake::writes_to(DOR).back(), 0x0Cu);
    EXPECT_EQ(floppy_motor_on, 0);
}

TEST_F(FloppyTest, ARetryAfterACrcErrorDeliversTheGoodSectorNotTheBadOne)
{
    bring_up();
    floppy_motor(true);
    fdc().read_errors = 1;  // the first attempt moves a corrupt sector, then fails
    bool ok = false;
    EXPECT_EQ(read_block(40, &ok), sector_of(image, 40));
    EXPECT_TRUE(ok);
    EXPECT_EQ(fdc().reads, 2);
    EXPECT_EQ(fdc().transfers.back().address, dma_buffer) << "the channel was re-armed for the retry";
}

TEST_F(FloppyTest, ADiskThatCannotBeReadFailsEvenThoughTheSizeCodeIsTwo)
{
    bring_up();
    floppy_motor(true);
    std::memset(fake::phys(dma_buffer), 0xEE, SECTOR_SIZE);  // stale data from an earlier read
    fdc().disk = Disk::Unreadable;
    bool ok = true;
    read_block(40, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(fdc().reads, 10);
}

TEST_F(FloppyTest, WithTheDiskEjectedReadsGiveUpInsteadOfHanging)
{
    bring_up();
    floppy_motor(true);
    fake::floppy::eject();
    bool ok = true;
    read_block(40, &ok);
    EXPECT_FALSE(ok);
    // 10 attempts of 9 bytes x 500 polls and 300 ticks at most.
    EXPECT_LT(fake::relax_calls, 10 * (9 * 500 + 2 * 300 + 100));

    fake::floppy::insert();
    EXPECT_EQ(read_block(40, &ok), sector_of(image, 40));
    EXPECT_TRUE(ok);
}

// ---- the root cache ----

TEST_F(FloppyTest, InitLoadsTheRootBlocksAndServesThemFromMemory)
{
    floppy_init();
    ASSERT_EQ(floppy_drive_available, 1);
    ASSERT_NE(root_cache, nullptr);
    EXPECT_EQ(floppy_root_bypass, 0);
    EXPECT_EQ(floppy_motor_on, 0);
    EXPECT_EQ(std::vector<uint8_t>(root_cache, root_cache + ROOT_BLOCKS * SECTOR_SIZE),
              std::vector<uint8_t>(image.begin() + 19 * SECTOR_SIZE, image.begin() + 33 * SECTOR_SIZE));
    EXPECT_EQ(std::vector<uint8_t>(root_cache + ROOT_BLOCKS * SECTOR_SIZE, root_cache + ROOT_CACHE_BYTES),
              std::vector<uint8_t>(CACHE_PADDING, 0));
    EXPECT_EQ(fake::writes_to(0x21).back() & 0x40, 0u) << "IRQ 6 is open";

    forget_records();
    floppy_motor(true);
    fake::floppy::eject();
    bool ok = false;
    EXPECT_EQ(read_block(19, &ok), sector_of(image, 19));
    EXPECT_TRUE(ok);
    EXPECT_EQ(read_block(32, &ok), sector_of(image, 32));
    EXPECT_TRUE(ok);
    EXPECT_EQ(fdc().reads, 0);
    read_block(33, &ok);
    EXPECT_FALSE(ok) << "block 33 goes to the empty drive";
    EXPECT_GT(fdc().reads, 0);
}

TEST_F(FloppyTest, InitWithoutAWorkingControllerLeavesTheDriveUnavailable)
{
    fdc().version = 0x80;
    floppy_init();
    EXPECT_EQ(floppy_drive_available, 0);
    EXPECT_EQ(root_cache, nullptr);
    floppy_motor(true);
    bool ok = true;
    read_block(19, &ok);
    EXPECT_FALSE(ok);
}

TEST_F(FloppyTest, AFailedRootLoadMakesTheDriveUnavailableUntilARefreshSucceeds)
{
    bring_up();
    fake::floppy::eject();
    EXPECT_FALSE(floppy_refresh());
    EXPECT_EQ(floppy_drive_available, 0);
    EXPECT_EQ(floppy_motor_on, 0);
    floppy_motor(true);
    bool ok = true;
    read_block(19, &ok);
    EXPECT_FALSE(ok);

    fake::floppy::insert();
    EXPECT_TRUE(floppy_refresh());
    EXPECT_EQ(floppy_drive_available, 1);
    floppy_motor(true);
    EXPECT_EQ(read_block(19, &ok), sector_of(image, 19));
    EXPECT_TRUE(ok);
}

TEST_F(FloppyTest, ARefreshAfterTheStartUpAllocationFailedAllocatesInsteadOfWritingThroughNull)
{
    fdc().version = 0x80;
    floppy_init();  // no root cache was ever allocated
    ASSERT_EQ(root_cache, nullptr);
    fdc().version = 0x90;
    EXPECT_TRUE(floppy_refresh());
    ASSERT_NE(root_cache, nullptr);
    EXPECT_EQ(root_cache[0], image[19 * SECTOR_SIZE]);
    EXPECT_EQ(fat_cache_blocks, 19);
}

TEST_F(FloppyTest, ARefreshWithTheHeapExhaustedFailsCleanly)
{
    fdc().version = 0x80;
    floppy_init();
    fdc().version = 0x90;
    while (heap_alloc(4096) != nullptr) {
    }
    while (heap_alloc(16) != nullptr) {
    }
    EXPECT_FALSE(floppy_refresh());
    EXPECT_EQ(root_cache, nullptr);
    EXPECT_EQ(floppy_drive_available, 0);
}

// ---- the FAT cache ----

TEST_F(FloppyTest, TheFatCacheHoldsTheBootSectorAndBothFats)
{
    bring_up();
    ASSERT_NE(fat_cache, nullptr);
    EXPECT_EQ(fat_cache_blocks, 19);
    EXPECT_EQ(std::vector<uint8_t>(fat_cache, fat_cache + 19 * SECTOR_SIZE),
              std::vector<uint8_t>(image.begin(), image.begin() + 19 * SECTOR_SIZE));
    EXPECT_EQ(std::vector<uint8_t>(fat_cache + 19 * SECTOR_SIZE, fat_cache + 19 * SECTOR_SIZE + CACHE_PADDING),
              std::vector<uint8_t>(CACHE_PADDING, 0));
}

TEST_F(FloppyTest, ARefreshWithALargerFatAreaReallocatesInsteadOfOverrunning)
{
    bring_up();
    auto* neighbour = static_cast<uint8_t*>(heap_alloc(64));  // carved right after the FAT cache
    ASSERT_NE(neighbour, nullptr);
    std::memset(neighbour, 0xA5, 64);

    set_fat_area(image, 1, 2, 14);  // 29 blocks instead of 19
    fdc().image = image;
    ASSERT_TRUE(floppy_refresh());
    EXPECT_EQ(fat_cache_blocks, 29);
    EXPECT_EQ(std::vector<uint8_t>(fat_cache, fat_cache + 29 * SECTOR_SIZE),
              std::vector<uint8_t>(image.begin(), image.begin() + 29 * SECTOR_SIZE));
    EXPECT_EQ(std::vector<uint8_t>(neighbour, neighbour + 64), std::vector<uint8_t>(64, 0xA5));

    const uint32_t in_use = heap_blocks_in_use();
    set_fat_area(image, 1, 2, 3);  // smaller again: the larger buffer serves
    fdc().image = image;
    const uint8_t* kept = fat_cache;
    ASSERT_TRUE(floppy_refresh());
    EXPECT_EQ(fat_cache, kept);
    EXPECT_EQ(fat_cache_blocks, 7);
    EXPECT_EQ(heap_blocks_in_use(), in_use);
}

TEST_F(FloppyTest, AHostileBootSectorCannotMakeTheFatCacheAbsurd)
{
    bring_up();
    struct Case {
        uint16_t reserved;
        uint8_t fats;
        uint16_t sectors_per_fat;
    };
    // No FAT area at all; far beyond the disk; a size that wraps to 19 in 16 bits.
    for (const Case& c : {Case{0, 0, 9}, Case{1, 255, 0xFFFF}, Case{19, 2, 0x8000}}) {
        set_fat_area(image, c.reserved, c.fats, c.sectors_per_fat);
        fdc().image = image;
        EXPECT_FALSE(floppy_refresh()) << c.reserved << " " << int{c.fats} << " " << c.sectors_per_fat;
        EXPECT_EQ(fat_cache_blocks, 0) << "no FAT of the old disk may stand for the new one";
        EXPECT_EQ(floppy_motor_on, 0);
    }
}

TEST_F(FloppyTest, AFailedFatLoadKeepsItsBufferAndLeaksNothing)
{
    bring_up();
    const uint32_t in_use = heap_blocks_in_use();
    const uint8_t* kept = fat_cache;
    fdc().disk = Disk::Unreadable;
    EXPECT_FALSE(floppy_load_fat_cache(true));
    EXPECT_EQ(fat_cache_blocks, 0);
    EXPECT_EQ(fat_cache, kept);
    EXPECT_EQ(heap_blocks_in_use(), in_use) << "the boot-sector buffer went back";

    fdc().disk = Disk::Inserted;
    EXPECT_TRUE(floppy_load_fat_cache(true));
    EXPECT_EQ(fat_cache, kept);
    EXPECT_EQ(fat_cache_blocks, 19);
    EXPECT_EQ(heap_blocks_in_use(), in_use);
}

TEST_F(FloppyTest, ParkingForRestartSeeksTrackZeroThenHoldsTheControllerInReset)
{
    bring_up();
    floppy_motor(true);
    EXPECT_TRUE(fdc_seek(0, 0));
    floppy_motor(false);
    fdc_set_enabled(false);
    EXPECT_EQ(fake::writes_to(DOR), (std::vector<uint32_t>{0x1C, 0x0C, 0x00}));
    fdc_set_enabled(true);
    EXPECT_EQ(fake::writes_to(DOR).back(), 0x0Cu);
}

}  // namespace
