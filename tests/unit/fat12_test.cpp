// FAT12 on disk images made by mkfs.fat and mtools, read through the real
// floppy driver and the fake controller: paths, folders, chains, and chains
// a corrupt disk bends into loops or off the disk.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/timer.h"
#include "display/console.h"
#include "drivers/floppy.h"
#include "fakes/fake_floppy.h"
#include "fakes/hw_test.h"
#include "fakes/screen.h"
#include "fs/fat12.h"
#include "mm/heap.h"

namespace {

std::string pattern(size_t bytes, char seed)
{
    std::string out(bytes, 0);
    for (size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<char>(seed + i * 13 + i / 512);
    }
    return out;
}

const std::string README = "Read me, please.\n";
const std::string KERNEL = pattern(1300, 'k');  // three clusters
const std::string DEMO = pattern(600, 'd');     // two clusters

std::vector<fake::floppy::ImageEntry> disk_entries()
{
    std::vector<fake::floppy::ImageEntry> entries = {
        {"README.TX", README}, {"NOEXT", "no extension"}, {"KERNEL.KVX", KERNEL}, {"EMPTY.TXT", ""},
        {"APPS/", ""},         {"APPS/DEMO.KVX", DEMO},   {"APPS/SUB/", ""},      {"APPS/SUB/DEEP.TXT", "deep"},
        {"BIG/", ""},
    };
    // 20 files and "." and "..": 22 entries, two clusters of 16.
    for (int i = 0; i < 20; ++i) {
        const std::string name = "F" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".TXT";
        entries.push_back({"BIG/" + name, name});
    }
    return entries;
}

using fake::floppy::set_fat_entry;

std::string text(const uint8_t* buffer, size_t count)
{
    return {reinterpret_cast<const char*>(buffer), count};
}

class Fat12Test : public HardwareTest {
protected:
    void SetUp() override
    {
        static const std::vector<uint8_t> clean_image = fake::floppy::make_image(disk_entries());
        HardwareTest::SetUp();
        fake::floppy::init_kernel_memory();
        fake::floppy::reset_driver();
        timers_reset_all();
        console_init();
        fake::floppy::attach();
        image = clean_image;
        insert(image);
    }

    // The disk in the drive and the caches loaded, as after start-up or upflpy.
    static void insert(const std::vector<uint8_t>& disk)
    {
        fake::floppy::controller().image = disk;
        if (floppy_root_cache() == nullptr) {
            floppy_init();
            ASSERT_TRUE(floppy_load_fat_cache(false));
        } else {
            ASSERT_TRUE(floppy_refresh());
        }
    }

    static FileInfo open(std::string path) { return fat_open(path.data()); }

    // One fat_read_cluster with the motor on.
    static FileInfo read_one(const FileInfo& file, uint8_t* buffer)
    {
        floppy_motor(true);
        const FileInfo next = fat_read_cluster(file, buffer);
        floppy_motor(false);
        return next;
    }

    struct WholeRead {
        std::string data;  // every cluster delivered
        int8_t status;     // of the last fat_read_chain
        uint32_t clusters;
    };

    // fat_read_chain until the end flag, as every reader does. No chain here
    // is longer than three clusters: a ninth means one went round a loop.
    static WholeRead read_all(FileInfo file)
    {
        WholeRead out{"", FS_OK, 0};
        uint8_t buffer[SECTOR_SIZE];
        FatChainSeen seen{};
        floppy_motor(true);
        for (; file.end == 0 && out.clusters < 9; ++out.clusters) {
            file = fat_read_chain(file, buffer, &seen);
            if (file.status != FS_OK && file.status != FS_END_OF_CHAIN) {
                break;
            }
            out.data += text(buffer, sizeof(buffer));
        }
        floppy_motor(false);
        out.status = file.status;
        return out;
    }

    static uint32_t blocks_in_use() { return heap_control_block()->used_blocks; }

    std::vector<uint8_t> image;  // a copy of the disk for a test to damage and insert()
};

// ---- names and paths ----

TEST_F(Fat12Test, FormatNameLowerCasesAndJoinsWithADot)
{
    struct Case {
        const char *name, *extension, *shown;
    };
    for (const Case& c :
         {Case{"README  ", "TX ", "readme.tx"}, Case{"NOEXT   ", "   ", "noext"}, Case{"KERNEL  ", "KVX", "kernel.kvx"},
          Case{"ABCDEFGH", "IJK", "abcdefgh.ijk"}, Case{"..      ", "   ", ".."}}) {
        char out[13] = {};
        fat_format_name(c.name, c.extension, out);
        EXPECT_STREQ(out, c.shown);
    }
    char untouched[13] = "keep";
    fat_format_name("   X    ", "TXT", untouched);
    EXPECT_STREQ(untouched, "keep") << "a name with three leading blanks has no display form";
}

// Names with an extension are found with it, names without one without a dot.
TEST_F(Fat12Test, TheThreePathFormsOpenTheSameRootFileAndNamesNeedTheirExactForm)
{
    std::string upper = "A:\\KERNEL.KVX";
    const FileInfo first = fat_open(upper.data());
    EXPECT_EQ(upper, "a:\\kernel.kvx") << "the caller's path is lower-cased in place";
    ASSERT_EQ(first.status, FS_OK);
    EXPECT_STREQ(first.name, "KERNEL.KVX");
    EXPECT_EQ(first.size, KERNEL.size());
    EXPECT_EQ(first.current_cluster, first.first_cluster);
    EXPECT_EQ(first.end, 0);
    EXPECT_EQ(first.directory, 0);
    EXPECT_FALSE(floppy_motor_is_on()) << "fat_open turns the motor off again";
    for (const char* path : {"a:\\kernel.kvx", "kernel.kvx"}) {
        const FileInfo again = open(path);
        EXPECT_EQ(std::memcmp(&again, &first, sizeof(FileInfo)), 0) << path;
    }

    EXPECT_STREQ(open("readme.tx").name, "README.TX");
    EXPECT_EQ(open("readme").status, FS_ERR_INVALID_FILE);
    EXPECT_STREQ(open("A:\\NoExt").name, "NOEXT");
    EXPECT_EQ(open("noext.").status, FS_ERR_INVALID_FILE);
    const FileInfo label = open("kvaltest");  // volume-label slots are looked at like any other
    EXPECT_EQ(label.status, FS_OK);
    EXPECT_EQ(label.attributes, FAT_ATTR_VOLUME_LABEL);
}

TEST_F(Fat12Test, NestedFoldersResolveComponentByComponent)
{
    const FileInfo apps = open("a:\\apps");
    ASSERT_EQ(apps.status, FS_OK);
    EXPECT_EQ(apps.directory, 1);
    EXPECT_EQ(apps.size, 0u);

    EXPECT_EQ(read_all(open("a:\\apps\\demo.kvx")).data.substr(0, DEMO.size()), DEMO);

    EXPECT_EQ(read_all(open("A:\\APPS\\SUB\\DEEP.TXT")).data.substr(0, 4), "deep");
    EXPECT_EQ(read_all(open("a:\\big\\f19.txt")).data.substr(0, 7), "F19.TXT") << "in the folder's second cluster";
}

TEST_F(Fat12Test, PathRulesTellAMissingFolderFromAMissingFile)
{
    // Longer than any 8.3 name: it can match nothing, and must overrun nothing.
    const std::string longest(200, 'x');
    const struct {
        std::string path;
        int8_t status;
    } cases[] = {
        {"a:\\nodir\\demo.kvx", FS_ERR_INVALID_DIRECTORY},
        {"a:\\apps\\missing.kvx", FS_ERR_INVALID_FILE},
        {"a:\\apps\\missing\\x", FS_ERR_INVALID_DIRECTORY},
        {"apps\\demo.kvx", FS_ERR_NOT_FOUND},
        {"a:\\", FS_ERR_INVALID_FILE},
        {"a:\\apps\\", FS_ERR_INVALID_FILE},
        {"missing.txt", FS_ERR_INVALID_FILE},
        {"", FS_ERR_INVALID_FILE},
        {"a:\\apps\\abcdefgh.ijk", FS_ERR_INVALID_FILE},  // twelve characters: looked up
        {"a:\\" + longest + "\\demo.kvx", FS_ERR_INVALID_DIRECTORY},
        {"a:\\apps\\" + longest + "\\demo.kvx", FS_ERR_INVALID_DIRECTORY},
        {"a:\\apps\\" + longest, FS_ERR_INVALID_FILE},
        {"a:\\" + longest, FS_ERR_INVALID_FILE},
        {longest, FS_ERR_INVALID_FILE},
    };
    for (const auto& c : cases) {
        fake::port_writes.clear();
        const FileInfo info = open(c.path);
        EXPECT_EQ(info.status, c.status) << c.path;
        EXPECT_EQ(info.end, 1) << c.path;
        EXPECT_FALSE(floppy_motor_is_on()) << c.path;
        EXPECT_EQ(fake::port_writes.empty(), c.path.empty()) << "only an empty path leaves the motor alone";
    }
}

// ---- reading clusters ----

TEST_F(Fat12Test, FilesAreReadAlongTheirChainsAndAFinishedOrEmptyFileLeavesTheBufferAlone)
{
    const WholeRead kernel = read_all(open("kernel.kvx"));
    EXPECT_EQ(kernel.status, FS_END_OF_CHAIN);
    EXPECT_EQ(kernel.clusters, 3u);
    EXPECT_EQ(kernel.data.substr(0, KERNEL.size()), KERNEL);

    uint8_t buffer[SECTOR_SIZE];
    const FileInfo readme = read_one(open("readme.tx"), buffer);
    EXPECT_EQ(readme.status, FS_END_OF_CHAIN);
    EXPECT_EQ(readme.end, 1);
    EXPECT_EQ(readme.current_cluster, 0);
    EXPECT_EQ(text(buffer, README.size()), README);

    const FileInfo empty = open("empty.txt");
    ASSERT_EQ(empty.status, FS_OK);
    EXPECT_EQ(empty.first_cluster, 0);
    for (const FileInfo& nothing_left : {readme, empty}) {
        std::memset(buffer, 0xCC, sizeof(buffer));
        const FileInfo after = read_one(nothing_left, buffer);
        EXPECT_EQ(after.status, FS_ERR_INVALID_FILE);
        EXPECT_EQ(after.end, 1);
        EXPECT_EQ(buffer[0], 0xCC);
    }
}

TEST_F(Fat12Test, FatEntriesUnpackTwelveBitsAtATimeAndNeverFromBeyondTheCache)
{
    const uint8_t example[] = {0xF0, 0xFF, 0xFF, 0x03, 0x40, 0x00};
    std::memcpy(&image[SECTOR_SIZE], example, sizeof(example));
    // Cluster 341's entry straddles the first two FAT sectors (bytes 511-512).
    image[SECTOR_SIZE + 510] = 0x00;
    image[SECTOR_SIZE + 511] = 0x3A;
    image[SECTOR_SIZE + 512] = 0x12;
    insert(image);
    EXPECT_EQ(fat_next_cluster(0), 0xFF0);
    EXPECT_EQ(fat_next_cluster(1), 0xFFF);
    EXPECT_EQ(fat_next_cluster(2), 3) << "bytes 3-4, masked";
    EXPECT_EQ(fat_next_cluster(3), 4) << "bytes 4-5, shifted right by 4";
    EXPECT_EQ(fat_next_cluster(341), 0x123);

    image[16] = 1;  // one FAT of one sector: the cache holds the boot sector and that sector
    image[22] = 1;
    image[23] = 0;
    insert(image);
    EXPECT_EQ(fat_next_cluster(340), 0xA00) << "bytes 510-511 are cached";
    EXPECT_EQ(fat_next_cluster(341), FS_ERR_INVALID_CLUSTER) << "byte 512 is not";
    EXPECT_EQ(fat_next_cluster(0xFFFF), FS_ERR_INVALID_CLUSTER);
    image[14] = 0;  // no reserved sector and no FAT: the load fails and nothing is cached
    image[16] = 0;
    fake::floppy::controller().image = image;
    EXPECT_FALSE(floppy_refresh());
    EXPECT_EQ(fat_next_cluster(2), FS_ERR_INVALID_CLUSTER);
}

// A free (0) or bad (0xFF7) next cluster stops the chain at once; 0xFF0,
// past block 2879, and 1, the root folder's last block, are taken as the next
// cluster and then refused unread. The cluster that pointed there is delivered.
TEST_F(Fat12Test, ABrokenChainStopsWithInvalidClusterAfterTheClusterThatLedThere)
{
    const uint16_t first = open("kernel.kvx").first_cluster;
    for (const uint16_t next : {uint16_t{0x000}, uint16_t{0xFF7}, uint16_t{0xFF0}, uint16_t{0x001}}) {
        set_fat_entry(image, first, next);
        insert(image);
        uint8_t buffer[SECTOR_SIZE];
        FileInfo kernel = read_one(open("kernel.kvx"), buffer);
        EXPECT_EQ(text(buffer, 16), KERNEL.substr(0, 16)) << next;
        const bool taken = next == 0xFF0 || next == 0x001;
        EXPECT_EQ(kernel.status, taken ? FS_OK : FS_ERR_INVALID_CLUSTER) << next;

        std::memset(buffer, 0xCC, sizeof(buffer));
        fake::floppy::controller().reads = 0;
        kernel = read_one(kernel, buffer);
        EXPECT_EQ(kernel.status, taken ? FS_ERR_INVALID_CLUSTER : FS_ERR_INVALID_FILE) << next;
        EXPECT_EQ(kernel.end, 1);
        EXPECT_EQ(buffer[0], 0xCC);
        EXPECT_EQ(fake::floppy::controller().reads, 0);
    }
}

// A chain that comes back to a cluster it has read is refused there unread,
// as a bad cluster is, after each cluster before it was read once; a folder
// search on such a chain is a miss after one round.
TEST_F(Fat12Test, ALoopingChainEndsAtTheFirstClusterThatComesRoundAgain)
{
    const uint16_t first = open("kernel.kvx").first_cluster;
    const auto second = static_cast<uint16_t>(fat_next_cluster(first));
    const auto third = static_cast<uint16_t>(fat_next_cluster(second));
    const struct {
        uint16_t cluster, next;
        uint32_t clusters;  // read before the loop is refused
    } file_loops[] = {{first, first, 1}, {second, second, 2}, {third, first, 3}, {third, second, 3}};
    for (const auto& loop : file_loops) {
        std::vector<uint8_t> looping = image;
        set_fat_entry(looping, loop.cluster, loop.next);
        insert(looping);
        const WholeRead read = read_all(open("kernel.kvx"));
        EXPECT_EQ(read.clusters, loop.clusters) << loop.cluster << " -> " << loop.next;
        EXPECT_EQ(read.status, FS_ERR_INVALID_CLUSTER);
        EXPECT_TRUE(read.data.substr(0, KERNEL.size()) == KERNEL.substr(0, loop.clusters * SECTOR_SIZE))
            << "the clusters before the loop, in order";
    }

    const uint16_t big = open("a:\\big").first_cluster;
    // The second cluster copied two cylinders on: each read of the loop is
    // then a READ DATA of its own, none served from the DMA buffer.
    const auto far = static_cast<uint16_t>(big + 2 * 36);
    std::memcpy(&image[(far + 31) * SECTOR_SIZE], &image[(fat_next_cluster(big) + 31) * SECTOR_SIZE], SECTOR_SIZE);
    set_fat_entry(image, big, far);
    const struct {
        uint16_t cluster, next;
        int reads;
        bool f19_found;  // it lies in the second cluster
    } folder_loops[] = {{far, big, 2, true}, {big, big, 1, false}};
    for (const auto& loop : folder_loops) {
        set_fat_entry(image, loop.cluster, loop.next);
        insert(image);
        EXPECT_EQ(open("a:\\big\\f19.txt").status == FS_OK, loop.f19_found) << loop.cluster;
        // A search that went round again would soon run into this limit.
        fake::relax_calls = 0;
        fake::relax_limit = 200'000;
        fake::floppy::controller().reads = 0;
        EXPECT_EQ(open("a:\\big\\missing.txt").status, FS_ERR_INVALID_FILE);
        EXPECT_EQ(fake::floppy::controller().reads, loop.reads) << loop.cluster;
    }
}

// ---- resources and messages ----

TEST_F(Fat12Test, LookupsReleaseTheirBuffersAndFailCleanlyWithoutHeap)
{
    const uint32_t in_use = blocks_in_use();
    EXPECT_EQ(open("a:\\apps\\sub\\deep.txt").status, FS_OK);
    EXPECT_EQ(open("a:\\apps\\nothing").status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(blocks_in_use(), in_use);

    FileInfo finished = open("a:\\apps");
    finished.end = 1;
    fake::floppy::controller().reads = 0;
    floppy_motor(true);
    EXPECT_EQ(fat_find_in_dir(finished, "demo.kvx").status, FS_ERR_NOT_FOUND);
    floppy_motor(false);
    EXPECT_EQ(fake::floppy::controller().reads, 0) << "a finished folder is not searched";
    EXPECT_EQ(blocks_in_use(), in_use);

    while (heap_alloc(4096) != nullptr) {
    }
    while (heap_alloc(16) != nullptr) {
    }
    EXPECT_EQ(fat_find_in_root("readme.tx").status, FS_ERR_NOT_FOUND);
    EXPECT_EQ(open("readme.tx").status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(open("a:\\apps\\demo.kvx").status, FS_ERR_INVALID_DIRECTORY);
    EXPECT_FALSE(floppy_motor_is_on());
}

TEST_F(Fat12Test, ErrorMessagesArePrintedInLightRed)
{
    struct Case {
        int32_t status;
        const char* message;
    };
    for (const Case& c : {Case{FS_ERR_INVALID_DIRECTORY, "Invalid Directory"},
                          Case{FS_ERR_INVALID_FILE, "Invalid File"}, Case{FS_ERR_INVALID_CLUSTER, "Invalid Cluster"},
                          Case{FS_ERR_NOT_FOUND, "Unknown Error"}, Case{7, "Unknown Error"}}) {
        con_clear();
        con_set_color(COLOR_YELLOW);
        EXPECT_EQ(fat_print_error(c.status), c.status);
        EXPECT_EQ(screen::line(1), c.message) << "after a newline";
        EXPECT_EQ(screen::attr_at(0, 1) & 0x0F, COLOR_LIGHT_RED);
        EXPECT_EQ(con_get_color(), COLOR_LIGHT_RED);
    }
    for (const int32_t quiet : {int32_t{FS_OK}, int32_t{FS_END_OF_CHAIN}}) {
        con_clear();
        EXPECT_EQ(fat_print_error(quiet), 0);
        EXPECT_EQ(screen::text(), std::string(25, '\n'));
    }
}

}  // namespace
