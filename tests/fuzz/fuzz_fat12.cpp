// FAT12 lookups, folder listings, file reads and chain walks on a fuzzed
// disk: paths against a boot sector, FATs, root and folder clusters that
// are all the fuzzer's.
//
// Input: 128 bytes of paths (NUL-separated, up to five; the rest of the
// area is ignored once five are found), each opened, read to the end of its
// chain when it is a file, and listed as dir lists it ("a:" lists the
// root). Then 512-byte chunks that become, in order, blocks 0 (the boot
// sector), 1 and 2 (the first FAT's first two sectors: clusters 0-681, and
// the entry that straddles them), 19 and 20 (the root's first 32 entries),
// then 33, 34, ... (clusters 2, 3, ...). Every other block reads as zeros;
// a chunk cut short is padded with zeros.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/floppy.h"
#include "fs/fat12.h"
#include "shell/disk.h"
#include "support/harness.h"
#include "support/host_heap.h"
#include "support/memdisk.h"

namespace {

constexpr size_t PATH_AREA = 128;
constexpr size_t MAX_PATHS = 5;
constexpr uint16_t FIXED_BLOCKS[] = {0, 1, 2, 19, 20};
constexpr uint16_t FIRST_DATA_BLOCK = 33;
// fat_read_chain reads each cluster of the data area once at most.
constexpr uint32_t CHAIN_READ_LIMIT = FAT_LAST_CLUSTER - FAT_FIRST_CLUSTER + 1;
// fat_read_cluster alone has no memory: a loop goes on, so the walk is cut.
constexpr uint32_t STEP_WALK_LIMIT = 3000;
constexpr uint16_t FAT_BAD_CLUSTER_MARK = 0xFF7;

void load_disk(const uint8_t* data, size_t size)
{
    fuzz::disk::clear();
    size_t chunk = 0;
    for (size_t at = PATH_AREA; at < size; at += SECTOR_SIZE, ++chunk) {
        const uint16_t block = chunk < std::size(FIXED_BLOCKS)
                                   ? FIXED_BLOCKS[chunk]
                                   : static_cast<uint16_t>(FIRST_DATA_BLOCK + chunk - std::size(FIXED_BLOCKS));
        if (block >= FLOPPY_SECTORS) {
            break;
        }
        fuzz::disk::put(block, data + at, size - at);
    }
    fuzz::disk::insert();
}

std::vector<std::string> paths(const uint8_t* data, size_t size)
{
    std::vector<std::string> out;
    const size_t area = size < PATH_AREA ? size : PATH_AREA;
    std::string current;
    for (size_t i = 0; i < area && out.size() < MAX_PATHS; ++i) {
        if (data[i] == 0) {
            if (!current.empty()) {
                out.push_back(current);
            }
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty() && out.size() < MAX_PATHS) {
        out.push_back(current);
    }
    return out;
}

// A heap copy of exactly the path and its NUL, so that a read past the end
// of a path is one past a block.
struct PathCopy {
    explicit PathCopy(const std::string& path) : bytes(new char[path.size() + 1])
    {
        std::memcpy(bytes, path.c_str(), path.size() + 1);
    }
    ~PathCopy() { delete[] bytes; }
    PathCopy(const PathCopy&) = delete;
    PathCopy& operator=(const PathCopy&) = delete;
    char* bytes;
};

// As rdfile and the loaders read: fat_read_chain to the end flag.
void read_whole(FileInfo file)
{
    uint8_t* buffer = new uint8_t[SECTOR_SIZE];
    FatChainSeen seen{};
    uint32_t reads = 0;
    floppy_motor(true);
    while (file.end == 0) {
        fuzz::check(++reads <= CHAIN_READ_LIMIT, "fat_read_chain went on past every cluster of the disk");
        file = fat_read_chain(file, buffer, &seen);
        if (file.status != FS_OK && file.status != FS_END_OF_CHAIN) {
            break;
        }
    }
    floppy_motor(false);
    delete[] buffer;
}

// One cluster at a time with fat_read_cluster, which remembers nothing.
void walk_steps(FileInfo file)
{
    uint8_t* buffer = new uint8_t[SECTOR_SIZE];
    floppy_motor(true);
    for (uint32_t step = 0; file.end == 0 && step < STEP_WALK_LIMIT; ++step) {
        file = fat_read_cluster(file, buffer);
        fuzz::check(file.end != 0 || (file.current_cluster != 0 && file.current_cluster < FAT_BAD_CLUSTER_MARK),
                    "fat_read_cluster went on to a cluster that is no cluster");
    }
    floppy_motor(false);
    delete[] buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool booted = (fuzz::boot(true), true);
    (void)booted;
    fuzz::turn();
    fuzz::keys_endless_enter();  // every listing pause goes on
    load_disk(data, size);
    const uint32_t heap_before = fuzz::heap::blocks_in_use();

    for (const std::string& path : paths(data, size)) {
        PathCopy open_copy(path);
        const FileInfo file = fat_open(open_copy.bytes);
        fuzz::check(!floppy_motor_is_on(), "fat_open left the motor on");
        fuzz::check(file.status == FS_OK || file.end == 1, "a failed lookup is not at its end");
        if (file.status == FS_OK) {
            read_whole(file);
            walk_steps(file);
        }
        PathCopy list_copy(path);
        dir_list_path(list_copy.bytes);
        fuzz::check(!floppy_motor_is_on(), "dir left the motor on");
        fuzz::check_no_leak(heap_before, "a lookup or listing kept a heap block");
    }
    for (uint16_t cluster = 0; cluster < 8; ++cluster) {
        const int32_t next = fat_next_cluster(static_cast<uint16_t>(cluster * 407 + 2));
        fuzz::check(next == FS_ERR_INVALID_CLUSTER || (next >= 0 && next <= 0xFFF), "a FAT entry beyond 12 bits");
    }
    return 0;
}
