// Read-only FAT12 on the 1.44 MB floppy: paths, directories, cluster chains.
#pragma once

#include <stdint.h>

enum : int8_t {
    FS_OK = 0,
    FS_ERR_NOT_FOUND = -1,
    FS_ERR_INVALID_DIRECTORY = -2,
    FS_ERR_INVALID_FILE = -3,
    FS_END_OF_CHAIN = -4,
    FS_ERR_INVALID_CLUSTER = -5,
};

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

FileInfo fat_open(char* path);
FileInfo fat_read_cluster(FileInfo file, uint8_t* buffer);
int32_t fat_print_error(int32_t status);
void fat_format_name(const char* name, const char* extension, char* out);
