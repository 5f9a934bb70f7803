// The .kvx loader: what exe_load refuses, the address space it builds, and
// the start that reads the file, checks its header and enters it, bounded by
// the image region.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/timer.h"
#include "drivers/floppy.h"
#include "fakes/fake_floppy.h"
#include "fakes/hw_test.h"
#include "fakes/processes.h"
#include "fs/fat12.h"
#include "lib/physmem.h"
#include "lib/status.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "proc/exe.h"
#include "proc/process.h"

namespace {

std::string program(size_t size, const char* header = "KVALME1 A \xE9\x05")
{
    std::string file(header, std::strlen(header));
    file.append(3, '\0');
    file.resize(size, 'p');
    return file;
}

class ExeTest : public HardwareTest {
protected:
    std::vector<uint8_t> image;

    void SetUp() override
    {
        HardwareTest::SetUp();
        static const std::vector<uint8_t> disk = fake::floppy::make_image({
            {"APP.KVX", program(1300)},
            {"PAGE.KVX", program(4096)},
            {"ALMOST.KVX", program(4095)},
            {"EMPTY.KVX", ""},
            {"BADHDR.KVX", program(600, "KVALME1 A \xE9\x05\x01")},
            {"DIR.KVX/", ""},
            {"APP.TXT", "text"},
        });
        image = disk;
        fake::floppy::start_with_disk(image);
        fake::stack_pointer = 0xC0101000;
        ASSERT_TRUE(mt_init());
        exe_load_status_reset();
    }
    void TearDown() override { fake::processes::shut_down(); }

    static int32_t load(std::string path) { return exe_load(path.data(), 0x1234, 3, PROCESS_APPLICATION); }

    // Runs the start of the process in `pid` up to its entry (or its failure).
    static void start(uint32_t pid)
    {
        fake::processes::run(pid);
        fake::relax_calls = 0;
        fake::relax_limit = 5000;
        try {
            app_bootstrap();
        } catch (const fake::Entered& entered) {
            EXPECT_EQ(entered.entry, 0x8000000Au);
            EXPECT_EQ(entered.edx, 0x1234u);
            EXPECT_NE(entered.eflags, 0u);
        } catch (const std::runtime_error&) {
            // A failed start waits to be ended: the fake stops the loop.
        }
        fake::relax_limit = 0;
    }
};

TEST_F(ExeTest, HeaderChecksInTheirOrder)
{
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {program(15), 0},
        {program(15, "KVALMEx A \xE9\x00"), -3},
        {program(15, "kVALME1 A \xE9\x00"), -2},
        {program(15, "KVALME1 B \xE9\x00"), -4},
        {program(15, "KVALME1 A \xEB\x00"), -5},
        {program(15, "KVALME1 A \xE9\xFF\x01"), -6},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(exe_check_header(reinterpret_cast<const uint8_t*>(bytes.data())), expected) << bytes;
    }
    EXPECT_EQ(exe_check_header(nullptr), -1);
    EXPECT_EQ(exe_entry(0x80000000), 0x8000000Au);
}

TEST_F(ExeTest, LoadRefusesWhatItCannotStartAndLeavesNothingBehind)
{
    const auto used = [] {
        const uint32_t heap_bytes = heap_control_block()->used_bytes;
        return std::make_pair(pmm_used_size(true), heap_bytes);
    };
    const auto before = used();
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"", STATUS_EMPTY_PATH},
        {"app.kvxx", STATUS_WRONG_KIND},
        {"app.kv", STATUS_WRONG_KIND},
        {"a:\\app.txt", STATUS_WRONG_KIND},
        {"missing.kvx", STATUS_EXECUTABLE_INVALID},
        {"dir.kvx", STATUS_EXECUTABLE_INVALID},
        {"empty.kvx", STATUS_BAD_ARGUMENT},  // admission refuses a size of 0
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(load(path), expected) << path;
        EXPECT_EQ(used(), before) << path;
    }
    for (const char* path : {"APP.KVX", "a:\\App.KvX", "almost.kvx"}) {
        EXPECT_EQ(load(path), STATUS_OK) << path;
    }
    ASSERT_EQ(process_add(fake::processes::record("FIFTH")), STATUS_OK);
    EXPECT_EQ(load("app.kvx"), STATUS_NO_FREE_SLOT);
}

TEST_F(ExeTest, TheImageHoldsSizeOverPagePlusTwoPagesAndTheFileReadWhole)
{
    ASSERT_EQ(load("page.kvx"), STATUS_OK);
    ASSERT_EQ(load("almost.kvx"), STATUS_OK);
    ProcessRecord page, almost;
    EXPECT_EQ(process_get_record(&page, 1)->image_pages, 3u);
    EXPECT_EQ(process_get_record(&almost, 2)->image_pages, 2u);
    EXPECT_STREQ(page.name, "PAGE.KVX");

    ASSERT_EQ(load("app.kvx"), STATUS_OK);  // slot 3: 1300 bytes in three clusters
    start(3);
    EXPECT_EQ(exe_load_status(), STATUS_OK);
    const auto* loaded = static_cast<const char*>(virt_ptr(0x80000000));
    EXPECT_EQ(std::string(loaded, 1300), program(1300));
    EXPECT_EQ(loaded[1536], 0) << "the region past the last cluster is zero";
    EXPECT_FALSE(floppy_motor_is_on());
}

TEST_F(ExeTest, AFailedStartPostsItsStatusMarksItselfAndGivesItsBufferBack)
{
    const uint32_t heap_bytes = heap_control_block()->used_bytes;
    ASSERT_EQ(load("badhdr.kvx"), STATUS_OK);
    const uint32_t after_load = heap_control_block()->used_bytes;
    start(1);
    EXPECT_EQ(exe_load_status(), STATUS_EXECUTABLE_INVALID);
    ProcessRecord self;
    EXPECT_EQ(process_get_record(&self, 1)->state, PROCESS_KILL_REQUESTED);
    EXPECT_EQ(heap_control_block()->used_bytes, after_load);
    EXPECT_FALSE(floppy_motor_is_on());

    fake::processes::run(0);
    process_reap_marked();
    EXPECT_EQ(heap_control_block()->used_bytes, heap_bytes);
}

// The chain, not the size, says where the file ends. One that comes back to
// a cluster fails the start there, as one into a bad cluster does, with each
// cluster before it in the region once and nothing after; one longer than
// the region fails before it can write past it.
TEST_F(ExeTest, AChainThatLoopsOrOutrunsTheRegionFailsTheStart)
{
    const auto chain = [](std::string path) {
        std::vector<uint16_t> clusters = {fat_open(path.data()).first_cluster};
        while (fat_next_cluster(clusters.back()) < 0xFF8) {
            clusters.push_back(static_cast<uint16_t>(fat_next_cluster(clusters.back())));
        }
        return clusters;
    };
    const std::vector<uint16_t> app = chain("app.kvx"), page = chain("page.kvx"), almost = chain("almost.kvx");
    const std::string file = program(1300);
    const struct {
        std::vector<std::pair<uint16_t, uint16_t>> links;  // FAT entries changed
        uint32_t clusters;                                 // in the region; 0: it is full
    } cases[] = {
        {{{app[0], app[0]}}, 1},
        {{{app[2], app[0]}}, 3},
        {{{app[2], app[1]}}, 3},
        {{{app[1], 0xFF7}}, 1},
        {{{app[2], page[0]}, {page.back(), almost[0]}}, 0},  // 19 clusters for 16
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.links.front().first << " -> " << c.links.front().second);
        std::vector<uint8_t> damaged = image;
        for (const auto& [cluster, next] : c.links) {
            fake::floppy::set_fat_entry(damaged, cluster, next);
        }
        fake::floppy::controller().image = damaged;
        ASSERT_TRUE(floppy_refresh());
        exe_load_status_reset();
        ASSERT_EQ(load("app.kvx"), STATUS_OK);
        start(1);
        EXPECT_EQ(exe_load_status(), STATUS_EXECUTABLE_INVALID);
        if (c.clusters != 0) {
            const auto* loaded = static_cast<const char*>(virt_ptr(EXE_IMAGE_BASE));
            const uint32_t bytes = c.clusters * SECTOR_SIZE;
            EXPECT_TRUE(std::string(loaded, std::min<size_t>(bytes, file.size())) == file.substr(0, bytes));
            EXPECT_EQ(loaded[bytes], 0) << "nothing after the last cluster read";
        }
        EXPECT_FALSE(floppy_motor_is_on());
        fake::processes::run(0);
        process_reap_marked();
    }
}

}  // namespace
