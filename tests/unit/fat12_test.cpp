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

void set_fat_entry(std::vector<uint8_t>& image, uint16_t cluster, uint16_t value)
{
    for (uint32_t fat = 0; fat < 2; ++fat) {
        uint8_t* at = image.data() + (1 + fat * 9) * SECTOR_SIZE + cluster + cluster / 2;
        uint16_t word = static_cast<uint16_t>(at[0] | at[1] << 8);
        word = (cluster & 1) != 0 ? static_cast<uint16_t>((word & 0x000F) | value << 4)
                                  : static_cast<uint16_t>((word & 0xF000) | value);
        at[0] = static_cast<uint8_t>(word);
        at[1] = static_cast<uint8_t>(word >> 8);
    }
}

class Fat12Test : public HardwareTest {
protected:
    static void SetUpTestSuite() { clean_image = new std::vector<uint8_t>(fake::floppy::make_image(disk_entries())); }
    static void TearDownTestSuite()
    {
        delete clean_image;
        clean_image = nullptr;
    }

    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::floppy::init_kernel_memory();
        fake::floppy::reset_driver();
        timers_reset_all();
        console_init();
        fake::floppy::attach();
        image = *clean_image;
        insert(image);
    }

    // The disk in the drive and the caches loaded, as after start-up.
    static void insert(const std::vector<uint8_t>& disk)
    {
        fake::floppy::controller().image = disk;
        if (root_cache == nullptr) {
            floppy_init();
            ASSERT_TRUE(floppy_load_fat_cache(false));
        } else {
            ASSERT_TRUE(floppy_refresh());
        }
    }

    static FileInfo open(std::string path) { return fat_open(path.data()); }

    // fat_read_cluster until the end flag, at most FAT_MAX_CLUSTERS times,
    // as every reader does.
    static std::string read_all(FileInfo file, int8_t* last_status, uint32_t* clusters = nullptr)
    {
        std::string data;
        uint8_t buffer[SECTOR_SIZE];
        floppy_motor(true);
        uint32_t n = 0;
        for (; n < FAT_MAX_CLUSTERS && file.end == 0; ++n) {
            file = fat_read_cluster(file, buffer);
            if (file.status != FS_OK && file.status != FS_END_OF_CHAIN) {
                break;
            }
            data.append(reinterpret_cast<const char*>(buffer), sizeof(buffer));
        }
        floppy_motor(false);
        *last_status = file.status;
        if (clusters != nullptr) {
            *clusters = n;
        }
        return data;
    }

    // The cluster `steps` links along the chain from `first`, by the loaded FAT.
    static uint16_t cluster_after(uint16_t first, int steps)
    {
        uint16_t cluster = first;
        for (int i = 0; i < steps; ++i) {
            cluster = static_cast<uint16_t>(fat_next_cluster(cluster));
        }
        return cluster;
    }

    static uint32_t blocks_in_use() { return heap_control_block()->used_blocks; }

    static std::vector<uint8_t>* clean_image;
    std::vector<uint8_t> image;
};

std::vector<uint8_t>* Fat12Test::clean_image = nullptr;

// ---- names ----

TEST_F(Fat12Test, FormatNameLowerCasesAndJoinsWithADot)
{
    struct Case {
        const char* name;
        const char* extension;
        const char* shown;
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

// ---- paths ----

TEST_F(Fat12Test, TheThreePathFormsOpenTheSameRootFile)
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
    EXPECT_EQ(floppy_motor_on, 0) << "fat_open turns the motor off again";

    for (const char* path : {"a:\\kernel.kvx", "kernel.kvx"}) {
        const FileInfo again = open(path);
        EXPECT_EQ(std::memcmp(&again, &first, sizeof(FileInfo)), 0) << path;
    }
}

TEST_F(Fat12Test, NamesAreFoundWithTheirExtensionOrWithoutADot)
{
    FileInfo readme = open("readme.tx");
    ASSERT_EQ(readme.status, FS_OK);
    EXPECT_STREQ(readme.name, "README.TX");
    EXPECT_EQ(open("readme").status, FS_ERR_INVALID_FILE);

    FileInfo noext = open("A:\\NoExt");
    ASSERT_EQ(noext.status, FS_OK);
    EXPECT_STREQ(noext.name, "NOEXT");
    EXPECT_EQ(open("noext.").status, FS_ERR_INVALID_FILE);

    // Volume-label slots are looked at like any other.
    const FileInfo label = open("kvaltest");
    EXPECT_EQ(label.status, FS_OK);
    EXPECT_EQ(label.attributes, FAT_ATTR_VOLUME_LABEL);
}

TEST_F(Fat12Test, NestedFoldersResolveComponentByComponent)
{
    const FileInfo apps = open("a:\\apps");
    ASSERT_EQ(apps.status, FS_OK);
    EXPECT_EQ(apps.directory, 1);
    EXPECT_EQ(apps.size, 0u);

    const FileInfo demo = open("a:\\apps\\demo.kvx");
    ASSERT_EQ(demo.status, FS_OK);
    EXPECT_STREQ(demo.name, "DEMO.KVX");
    int8_t status = 0;
    EXPECT_EQ(read_all(demo, &status).substr(0, DEMO.size()), DEMO);
    EXPECT_EQ(status, FS_END_OF_CHAIN);

    const FileInfo deep = open("A:\\APPS\\SUB\\DEEP.TXT");
    ASSERT_EQ(deep.status, FS_OK);
    EXPECT_EQ(read_all(deep, &status).substr(0, 4), "deep");

    const FileInfo late = open("a:\\big\\f19.txt");  // in the folder's second cluster
    ASSERT_EQ(late.status, FS_OK);
    EXPECT_EQ(read_all(late, &status).substr(0, 7), "F19.TXT");
}

TEST_F(Fat12Test, PathRulesTellAMissingFolderFromAMissingFile)
{
    struct Case {
        const char* path;
        int8_t status;
    };
    for (const Case& c : {
             Case{"a:\\nodir\\demo.kvx", FS_ERR_INVALID_DIRECTORY},
             Case{"a:\\apps\\missing.kvx", FS_ERR_INVALID_FILE},
             Case{"a:\\apps\\missing\\x", FS_ERR_INVALID_DIRECTORY},
             Case{"apps\\demo.kvx", FS_ERR_NOT_FOUND},
             Case{"a:\\", FS_ERR_INVALID_FILE},
             Case{"a:\\apps\\", FS_ERR_INVALID_FILE},
             Case{"missing.txt", FS_ERR_INVALID_FILE},
             Case{"", FS_ERR_INVALID_FILE},
         }) {
        const FileInfo info = open(c.path);
        EXPECT_EQ(info.status, c.status) << c.path;
        EXPECT_EQ(info.end, 1) << c.path;
        EXPECT_EQ(floppy_motor_on, 0) << c.path;
    }
}

TEST_F(Fat12Test, AnEmptyPathLeavesTheMotorAlone)
{
    fake::port_writes.clear();
    EXPECT_EQ(open("").status, FS_ERR_INVALID_FILE);
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(Fat12Test, ComponentsLongerThanTwelveCharactersMatchNothingAndOverrunNothing)
{
    const std::string longest(200, 'x');
    EXPECT_EQ(open("a:\\" + longest + "\\demo.kvx").status, FS_ERR_INVALID_DIRECTORY);
    EXPECT_EQ(open("a:\\apps\\" + longest + "\\demo.kvx").status, FS_ERR_INVALID_DIRECTORY);
    EXPECT_EQ(open("a:\\apps\\" + longest).status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(open("a:\\apps\\abcdefgh.ijk").status, FS_ERR_INVALID_FILE);  // twelve: looked up
    EXPECT_EQ(open("a:\\" + longest).status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(open(longest).status, FS_ERR_INVALID_FILE);
}

// ---- reading clusters ----

TEST_F(Fat12Test, AOneClusterFileEndsAtOnceAndAFinishedFileLeavesTheBufferAlone)
{
    FileInfo readme = open("readme.tx");
    uint8_t buffer[SECTOR_SIZE];
    floppy_motor(true);
    readme = fat_read_cluster(readme, buffer);
    EXPECT_EQ(readme.status, FS_END_OF_CHAIN);
    EXPECT_EQ(readme.end, 1);
    EXPECT_EQ(readme.current_cluster, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), README.size()), README);

    std::memset(buffer, 0xCC, sizeof(buffer));
    readme = fat_read_cluster(readme, buffer);
    EXPECT_EQ(readme.status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(buffer[0], 0xCC);
    floppy_motor(false);
}

TEST_F(Fat12Test, AManyClusterFileIsReadAlongItsChain)
{
    int8_t status = 0;
    uint32_t clusters = 0;
    const std::string data = read_all(open("kernel.kvx"), &status, &clusters);
    EXPECT_EQ(status, FS_END_OF_CHAIN);
    EXPECT_EQ(clusters, 3u);
    EXPECT_EQ(data.substr(0, KERNEL.size()), KERNEL);
}

TEST_F(Fat12Test, AnEmptyFileHasNoClusterToRead)
{
    const FileInfo empty = open("empty.txt");
    ASSERT_EQ(empty.status, FS_OK);
    EXPECT_EQ(empty.first_cluster, 0);
    uint8_t buffer[SECTOR_SIZE];
    std::memset(buffer, 0xCC, sizeof(buffer));
    floppy_motor(true);
    const FileInfo after = fat_read_cluster(empty, buffer);
    floppy_motor(false);
    EXPECT_EQ(after.status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(after.end, 1);
    EXPECT_EQ(buffer[0], 0xCC);
}

// ---- the FAT ----

TEST_F(Fat12Test, FatEntriesUnpackTwelveBitsAtATime)
{
    const uint8_t example[] = {0xF0, 0xFF, 0xFF, 0x03, 0x40, 0x00};
    std::memcpy(fat_cache + SECTOR_SIZE, example, sizeof(example));
    EXPECT_EQ(fat_next_cluster(0), 0xFF0);
    EXPECT_EQ(fat_next_cluster(1), 0xFFF);
    EXPECT_EQ(fat_next_cluster(2), 3) << "bytes 3-4, masked";
    EXPECT_EQ(fat_next_cluster(3), 4) << "bytes 4-5, shifted right by 4";

    // Cluster 341's entry straddles the first two FAT sectors (bytes 511-512).
    fat_cache[SECTOR_SIZE + 511] = 0x3A;
    fat_cache[SECTOR_SIZE + 512] = 0x12;
    EXPECT_EQ(fat_next_cluster(341), 0x123);
    EXPECT_EQ(fat_next_cluster(340) >> 8, 0xA);
}

TEST_F(Fat12Test, NoFatEntryIsReadFromBeyondTheCache)
{
    fat_cache_blocks = 2;  // the boot sector and one FAT sector
    EXPECT_GE(fat_next_cluster(340), 0) << "bytes 510-511 are cached";
    EXPECT_EQ(fat_next_cluster(341), FS_ERR_INVALID_CLUSTER) << "byte 512 is not";
    EXPECT_EQ(fat_next_cluster(0xFFFF), FS_ERR_INVALID_CLUSTER);
    fat_cache_blocks = 0;
    EXPECT_EQ(fat_next_cluster(2), FS_ERR_INVALID_CLUSTER);
}

TEST_F(Fat12Test, AChainIntoAFreeOrBadClusterStopsAfterDeliveringTheClusterThatPointedThere)
{
    const uint16_t first = open("kernel.kvx").first_cluster;
    for (const uint16_t bad : {uint16_t{0x000}, uint16_t{0xFF7}}) {
        set_fat_entry(image, first, bad);
        insert(image);
        FileInfo kernel = open("kernel.kvx");
        uint8_t buffer[SECTOR_SIZE];
        floppy_motor(true);
        kernel = fat_read_cluster(kernel, buffer);
        EXPECT_EQ(kernel.status, FS_ERR_INVALID_CLUSTER) << bad;
        EXPECT_EQ(kernel.end, 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 16), KERNEL.substr(0, 16)) << "its data is there";
        floppy_motor(false);
        EXPECT_EQ(fat_print_error(kernel.status), FS_ERR_INVALID_CLUSTER);
    }
}

TEST_F(Fat12Test, AChainThatLeavesTheDataAreaStopsWithoutReading)
{
    const uint16_t first = open("kernel.kvx").first_cluster;
    set_fat_entry(image, first, 0xFF0);  // a "next cluster" value past block 2879
    insert(image);
    FileInfo kernel = open("kernel.kvx");
    uint8_t buffer[SECTOR_SIZE];
    floppy_motor(true);
    kernel = fat_read_cluster(kernel, buffer);
    ASSERT_EQ(kernel.status, FS_OK);
    EXPECT_EQ(kernel.current_cluster, 0xFF0);
    std::memset(buffer, 0xCC, sizeof(buffer));
    fake::floppy::controller().reads = 0;
    kernel = fat_read_cluster(kernel, buffer);
    floppy_motor(false);
    EXPECT_EQ(kernel.status, FS_ERR_INVALID_CLUSTER);
    EXPECT_EQ(buffer[0], 0xCC);
    EXPECT_EQ(fake::floppy::controller().reads, 0);

    FileInfo root_block = open("kernel.kvx");
    root_block.current_cluster = 1;  // would be block 32, inside the root folder
    EXPECT_EQ(fat_read_cluster(root_block, buffer).status, FS_ERR_INVALID_CLUSTER);
}

TEST_F(Fat12Test, ALoopingFileChainIsCutByTheReadersBound)
{
    const FileInfo clean = open("kernel.kvx");
    set_fat_entry(image, cluster_after(clean.first_cluster, 2), clean.first_cluster);
    insert(image);
    int8_t status = 0;
    uint32_t clusters = 0;
    read_all(open("kernel.kvx"), &status, &clusters);
    EXPECT_EQ(clusters, FAT_MAX_CLUSTERS) << "the chain never ends by itself";
    EXPECT_EQ(status, FS_OK);
}

TEST_F(Fat12Test, ALoopingFolderChainEndsTheSearchAsAMiss)
{
    const uint16_t big = open("a:\\big").first_cluster;
    set_fat_entry(image, cluster_after(big, 1), big);  // the second cluster leads back to the first
    insert(image);
    EXPECT_EQ(open("a:\\big\\f19.txt").status, FS_OK) << "what lies on the loop is still found";
    // About 20 busy-wait turns per cluster read: a search that kept going
    // would run into this limit long before the end of time.
    fake::relax_calls = 0;
    fake::relax_limit = 200'000;
    fake::floppy::controller().reads = 0;
    EXPECT_EQ(open("a:\\big\\missing.txt").status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(fake::floppy::controller().reads, static_cast<int>(FAT_MAX_CLUSTERS));

    set_fat_entry(image, big, big);  // a cluster that is its own successor
    insert(image);
    fake::relax_calls = 0;
    EXPECT_EQ(open("a:\\big\\missing\\x").status, FS_ERR_INVALID_DIRECTORY);
}

// ---- resources ----

TEST_F(Fat12Test, LookupsReleaseTheirBuffersAndFailCleanlyWithoutHeap)
{
    const uint32_t in_use = blocks_in_use();
    EXPECT_EQ(open("a:\\apps\\sub\\deep.txt").status, FS_OK);
    EXPECT_EQ(open("a:\\apps\\nothing").status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(blocks_in_use(), in_use);

    while (heap_alloc(4096) != nullptr) {
    }
    while (heap_alloc(16) != nullptr) {
    }
    EXPECT_EQ(fat_find_in_root("readme.tx").status, FS_ERR_NOT_FOUND);
    EXPECT_EQ(open("readme.tx").status, FS_ERR_INVALID_FILE);
    EXPECT_EQ(open("a:\\apps\\demo.kvx").status, FS_ERR_INVALID_DIRECTORY);
    EXPECT_EQ(floppy_motor_on, 0);
}

TEST_F(Fat12Test, AFinishedFolderIsNotSearched)
{
    FileInfo apps = open("a:\\apps");
    apps.end = 1;
    fake::floppy::controller().reads = 0;
    floppy_motor(true);
    EXPECT_EQ(fat_find_in_dir(apps, "demo.kvx").status, FS_ERR_NOT_FOUND);
    floppy_motor(false);
    EXPECT_EQ(fake::floppy::controller().reads, 0);
}

// ---- messages ----

TEST_F(Fat12Test, ErrorMessagesArePrintedInLightRed)
{
    struct Case {
        int32_t status;
        int32_t result;
        const char* message;
    };
    for (const Case& c :
         {Case{FS_ERR_INVALID_DIRECTORY, -2, "Invalid Directory"}, Case{FS_ERR_INVALID_FILE, -3, "Invalid File"},
          Case{FS_ERR_INVALID_CLUSTER, -5, "Invalid Cluster"}, Case{FS_ERR_NOT_FOUND, -1, "Unknown Error"},
          Case{7, 7, "Unknown Error"}}) {
        con_clear();
        con_set_color(COLOR_YELLOW);
        EXPECT_EQ(fat_print_error(c.status), c.result);
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
