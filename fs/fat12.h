// Read-only FAT12 on the 1.44 MB floppy: paths, directories, cluster chains.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum : int8_t {
    FS_OK = 0,
    FS_ERR_NOT_FOUND = -1,
    FS_ERR_INVALID_DIRECTORY = -2,
    FS_ERR_INVALID_FILE = -3,
    FS_END_OF_CHAIN = -4,
    FS_ERR_INVALID_CLUSTER = -5,
};

// Cluster n is block n + 31; the data area runs from block 33 to block 2879,
// so clusters are 2-2848 and no chain without a loop is longer than 2847.
constexpr uint16_t FAT_FIRST_CLUSTER = 2;
constexpr uint16_t FAT_LAST_CLUSTER = 2848;

// Directory entry attribute bits.
enum : uint8_t {
    FAT_ATTR_VOLUME_LABEL = 0x08,
    FAT_ATTR_DIRECTORY = 0x10,
};

// Markers in the first name byte of a directory entry.
enum : uint8_t {
    FAT_ENTRY_FREE = 0x00,
    FAT_ENTRY_DELETED = 0xE5,
};

// One 32-byte entry of a directory, as on the disk.
struct [[gnu::packed]] FatDirEntry {
    char name[8];       // blank-padded
    char extension[3];  // blank-padded
    uint8_t attributes;
    uint8_t reserved[10];
    uint16_t time;
    uint16_t date;
    uint16_t first_cluster;
    uint32_t size;
};
static_assert(sizeof(FatDirEntry) == 32);
static_assert(offsetof(FatDirEntry, extension) == 8);
static_assert(offsetof(FatDirEntry, attributes) == 11);
static_assert(offsetof(FatDirEntry, first_cluster) == 26);
static_assert(offsetof(FatDirEntry, size) == 28);

// The by-value description of an opened file or folder.
struct [[gnu::packed]] FileInfo {
    int8_t status;
    char name[13];  // display name in upper case, NUL-padded
    uint32_t size;
    uint16_t first_cluster;
    uint16_t current_cluster;  // next cluster to read; 0 once finished
    uint8_t attributes;
    uint8_t end;        // 1 once the last cluster was read or an error occurred
    uint8_t directory;  // 1 when attribute bit 0x10 is set
};
static_assert(sizeof(FileInfo) == 25);
static_assert(offsetof(FileInfo, name) == 1);
static_assert(offsetof(FileInfo, size) == 14);
static_assert(offsetof(FileInfo, first_cluster) == 18);
static_assert(offsetof(FileInfo, current_cluster) == 20);
static_assert(offsetof(FileInfo, attributes) == 22);
static_assert(offsetof(FileInfo, end) == 23);
static_assert(offsetof(FileInfo, directory) == 24);

// The clusters a reader has read of one chain: bit n for cluster n, 0-2848.
// An empty set is FatChainSeen{}; at 357 bytes it lives on the reader's
// stack (8 KiB for a process, as for the kernel).
struct FatChainSeen {
    uint8_t bits[(FAT_LAST_CLUSTER + 1 + 7) / 8];
};
static_assert(sizeof(FatChainSeen) == 357);

// Lower-cases `path` in place.
FileInfo fat_open(char* path);
// Reads the current cluster into the 512-byte `buffer` and advances along the
// chain: one step, with no memory of the steps before.
FileInfo fat_read_cluster(FileInfo file, uint8_t* buffer);
// fat_read_cluster for a reader that follows a whole chain, with one `seen`
// for that chain. A cluster the chain comes back to is refused unread with
// FS_ERR_INVALID_CLUSTER, as a bad one is: a chain that loops (a corrupt or
// hostile disk) ends after each of its clusters was read once, so a loop
// while the end flag is 0 needs no bound of its own: it reads at most the
// 2847 clusters of the data area.
FileInfo fat_read_chain(const FileInfo& file, uint8_t* buffer, FatChainSeen* seen);
int32_t fat_print_error(int32_t status);
void fat_format_name(const char* name, const char* extension, char* out);

// The 12-bit FAT entry of `cluster` from the FAT cache, or
// FS_ERR_INVALID_CLUSTER when the entry lies outside the cached FAT.
int32_t fat_next_cluster(uint16_t cluster);

// ---- lookups fat_open is built from ----
FileInfo fat_find_in_root(const char* name);
FileInfo fat_find_in_dir(FileInfo directory, const char* name);
FileInfo fat_open_in_root(const char* path, bool skip_drive);
