// FAT12 on the 1.44 MB floppy, read only. The root directory comes from the
// driver's root cache and the FAT from its FAT cache; only subdirectory and
// file clusters are read from the disk.
#include "fs/fat12.h"

#include "display/console.h"
#include "drivers/floppy.h"
#include "lib/string.h"
#include "mm/heap.h"

namespace {

constexpr uint32_t DATA_BLOCK_BIAS = 31;  // cluster n (n >= 2) is block n + 31
constexpr uint32_t FAT_FIRST_BLOCK = 1;   // the first FAT follows the boot sector
constexpr uint32_t ENTRIES_PER_BLOCK = SECTOR_SIZE / sizeof(FatDirEntry);
constexpr uint32_t LOOKUP_BUFFER_BYTES = SECTOR_SIZE + 1;
// Two FAT sectors, so that an entry straddling a sector boundary is whole.
constexpr uint32_t FAT_WINDOW_BYTES = 2 * SECTOR_SIZE;

constexpr uint16_t FAT_ENTRY_MASK = 0xFFF;
constexpr uint16_t FAT_FREE_CLUSTER = 0x000;
constexpr uint16_t FAT_BAD_CLUSTER = 0xFF7;
constexpr uint16_t FAT_CHAIN_END = 0xFF8;  // 0xFF8-0xFFF end a chain

constexpr uint32_t NAME_CHARS = 8;
constexpr uint32_t EXTENSION_CHARS = 3;
constexpr uint32_t DISPLAY_NAME_CHARS = NAME_CHARS + 1 + EXTENSION_CHARS;  // 12
constexpr uint32_t DISPLAY_NAME_BYTES = DISPLAY_NAME_CHARS + 1;            // with its NUL

constexpr char DRIVE_PREFIX[] = "a:\\";
constexpr uint32_t DRIVE_PREFIX_CHARS = sizeof(DRIVE_PREFIX) - 1;  // the drive's backslash ends it
constexpr uint8_t SEPARATOR = '\\';

struct ErrorMessage {
    int32_t status;
    const char* text;
};

constexpr ErrorMessage ERROR_MESSAGES[] = {
    {FS_ERR_INVALID_DIRECTORY, "\nInvalid Directory"},
    {FS_ERR_INVALID_FILE, "\nInvalid File"},
    {FS_ERR_INVALID_CLUSTER, "\nInvalid Cluster"},
};
constexpr const char* UNKNOWN_ERROR = "\nUnknown Error";

FileInfo fat_failure(int8_t status)
{
    FileInfo info;
    mem_set(&info, 0, sizeof(info));
    info.status = status;
    info.end = 1;
    return info;
}

// The chain of `file` is over: nothing more to read, with `status` saying why.
FileInfo fat_stop(FileInfo file, int8_t status)
{
    file.current_cluster = 0;
    file.status = status;
    file.end = 1;
    return file;
}

FileInfo fat_entry_info(const FatDirEntry& entry, char* display)
{
    FileInfo info;
    mem_set(&info, 0, sizeof(info));
    str_to_upper(display, display);
    mem_copy(info.name, display, DISPLAY_NAME_BYTES);
    info.status = FS_OK;
    info.size = entry.size;
    info.first_cluster = entry.first_cluster;
    info.current_cluster = entry.first_cluster;
    info.attributes = entry.attributes;
    info.end = 0;
    info.directory = (entry.attributes & FAT_ATTR_DIRECTORY) != 0 ? 1 : 0;
    return info;
}

// Looks for `name` among the 16 entries of one directory block.
bool fat_match_in_block(const uint8_t* block, const char* name, FileInfo* found)
{
    for (uint32_t i = 0; i < ENTRIES_PER_BLOCK; ++i) {
        FatDirEntry entry;
        mem_copy(&entry, block + i * sizeof(FatDirEntry), sizeof(entry));
        const auto marker = static_cast<uint8_t>(entry.name[0]);
        if (marker == FAT_ENTRY_FREE || marker == FAT_ENTRY_DELETED) {
            continue;
        }
        char display[DISPLAY_NAME_BYTES];
        mem_set(display, 0, sizeof(display));
        fat_format_name(entry.name, entry.extension, display);
        // A blank name has no display form, and no path can name it.
        if (display[0] == 0 || str_compare(display, name) != 0) {
            continue;
        }
        *found = fat_entry_info(entry, display);
        return true;
    }
    return false;
}

// Copies path[from, to) into `out` (13 bytes). A component longer than the
// longest display name, or an empty one, can name no entry: refused before
// anything is copied.
bool fat_path_component(const char* path, int32_t from, int32_t to, char* out)
{
    const int32_t length = to - from;
    if (length <= 0 || length > static_cast<int32_t>(DISPLAY_NAME_CHARS)) {
        return false;
    }
    mem_copy(out, path + from, static_cast<uint32_t>(length));
    out[length] = 0;
    return true;
}

// "a:\dir\...\name": each component is looked up in the folder found before it.
FileInfo fat_open_absolute(const char* path)
{
    int32_t next = str_index_of(SEPARATOR, path, DRIVE_PREFIX_CHARS + 1);
    if (next < 0) {
        return fat_open_in_root(path, true);
    }
    char component[DISPLAY_NAME_BYTES];
    if (!fat_path_component(path, DRIVE_PREFIX_CHARS, next, component)) {
        return fat_failure(FS_ERR_INVALID_DIRECTORY);
    }
    FileInfo found = fat_find_in_root(component);
    if (found.status != FS_OK) {
        return fat_failure(FS_ERR_INVALID_DIRECTORY);
    }
    while (next >= 0) {
        const int32_t from = next + 1;
        next = str_index_of(SEPARATOR, path, static_cast<uint32_t>(from));
        const int32_t to = next >= 0 ? next : static_cast<int32_t>(str_len(path));
        found = fat_path_component(path, from, to, component) ? fat_find_in_dir(found, component)
                                                              : fat_failure(FS_ERR_NOT_FOUND);
        if (found.status != FS_OK) {
            return fat_failure(next >= 0 ? FS_ERR_INVALID_DIRECTORY : FS_ERR_INVALID_FILE);
        }
    }
    return found;
}

// Marks `cluster` (2-2848) as read; true when it was marked already.
bool fat_chain_mark(FatChainSeen* seen, uint16_t cluster)
{
    uint8_t& byte = seen->bits[cluster / 8];
    const auto bit = static_cast<uint8_t>(1u << (cluster % 8));
    const bool marked = (byte & bit) != 0;
    byte = static_cast<uint8_t>(byte | bit);
    return marked;
}

// Why the current cluster of `file` is not to be read, or FS_OK when it is.
int8_t fat_read_refusal(const FileInfo& file)
{
    if (file.status != FS_OK || file.end != 0 || file.first_cluster == 0 || file.current_cluster == 0) {
        return FS_ERR_INVALID_FILE;
    }
    // Cluster 1 would be the root directory's last block, and beyond 2848 the disk ends.
    if (file.current_cluster < FAT_FIRST_CLUSTER || file.current_cluster > FAT_LAST_CLUSTER) {
        return FS_ERR_INVALID_CLUSTER;
    }
    return FS_OK;
}

}  // namespace

void fat_format_name(const char* name, const char* extension, char* out)
{
    if (name[0] == ' ' && name[1] == ' ' && name[2] == ' ') {
        return;
    }
    char area[DISPLAY_NAME_CHARS];
    mem_set(area, 0, sizeof(area));
    uint32_t length = 0;
    for (uint32_t i = 0; i < NAME_CHARS && name[i] != ' '; ++i) {
        area[length++] = static_cast<char>(char_to_lower(static_cast<uint8_t>(name[i])));
    }
    if (extension[0] != ' ' || extension[1] != ' ' || extension[2] != ' ') {
        area[length++] = '.';
        for (uint32_t i = 0; i < EXTENSION_CHARS && extension[i] != ' '; ++i) {
            area[length++] = static_cast<char>(char_to_lower(static_cast<uint8_t>(extension[i])));
        }
    }
    mem_copy(out, area, sizeof(area));
}

int32_t fat_next_cluster(uint16_t cluster)
{
    const uint32_t offset = cluster + cluster / 2u;
    const uint32_t window = (offset / SECTOR_SIZE + FAT_FIRST_BLOCK) * SECTOR_SIZE;
    const uint32_t at = offset % SECTOR_SIZE;
    const uint8_t* fat_cache = floppy_fat_cache();
    const uint32_t cached = fat_cache != nullptr ? uint32_t{floppy_fat_cache_blocks()} * SECTOR_SIZE : 0;
    // Both bytes of the entry must lie in blocks the cache holds.
    if (window + at + 2 > cached) {
        return FS_ERR_INVALID_CLUSTER;
    }
    uint8_t copy[FAT_WINDOW_BYTES];
    const uint32_t available = cached - window;
    mem_copy(copy, fat_cache + window, available < FAT_WINDOW_BYTES ? available : FAT_WINDOW_BYTES);
    const uint16_t word = static_cast<uint16_t>(copy[at] | copy[at + 1] << 8);
    return (cluster & 1) != 0 ? word >> 4 : word & FAT_ENTRY_MASK;
}

FileInfo fat_read_cluster(FileInfo file, uint8_t* buffer)
{
    const int8_t refusal = fat_read_refusal(file);
    if (refusal != FS_OK) {
        return fat_stop(file, refusal);
    }
    const uint16_t cluster = file.current_cluster;
    if (!floppy_read_sector(static_cast<uint16_t>(cluster + DATA_BLOCK_BIAS), buffer)) {
        return fat_stop(file, FS_ERR_NOT_FOUND);
    }
    const int32_t next = fat_next_cluster(cluster);
    if (next >= FAT_CHAIN_END) {
        return fat_stop(file, FS_END_OF_CHAIN);
    }
    if (next < 0 || next == FAT_FREE_CLUSTER || next == FAT_BAD_CLUSTER) {
        return fat_stop(file, FS_ERR_INVALID_CLUSTER);
    }
    file.current_cluster = static_cast<uint16_t>(next);
    return file;
}

FileInfo fat_read_chain(const FileInfo& file, uint8_t* buffer, FatChainSeen* seen)
{
    // A cluster read already: the chain loops, and from here would go round for ever.
    if (fat_read_refusal(file) == FS_OK && fat_chain_mark(seen, file.current_cluster)) {
        return fat_stop(file, FS_ERR_INVALID_CLUSTER);
    }
    return fat_read_cluster(file, buffer);
}

int32_t fat_print_error(int32_t status)
{
    if (status == FS_OK || status == FS_END_OF_CHAIN) {
        return 0;
    }
    const char* text = UNKNOWN_ERROR;
    for (const ErrorMessage& message : ERROR_MESSAGES) {
        if (message.status == status) {
            text = message.text;
        }
    }
    con_set_color(COLOR_LIGHT_RED);
    con_puts(text);
    return status;
}

FileInfo fat_find_in_root(const char* name)
{
    auto* buffer = static_cast<uint8_t*>(heap_alloc(LOOKUP_BUFFER_BYTES));
    if (buffer == nullptr) {
        return fat_failure(FS_ERR_NOT_FOUND);
    }
    FileInfo found = fat_failure(FS_ERR_NOT_FOUND);
    for (uint32_t block = ROOT_FIRST_BLOCK; block <= ROOT_LAST_BLOCK; ++block) {
        mem_set(buffer, 0, LOOKUP_BUFFER_BYTES);
        if (!floppy_read_sector(static_cast<uint16_t>(block), buffer) || fat_match_in_block(buffer, name, &found)) {
            break;
        }
    }
    heap_free(buffer);
    return found;
}

FileInfo fat_find_in_dir(FileInfo directory, const char* name)
{
    auto* buffer = static_cast<uint8_t*>(heap_alloc(LOOKUP_BUFFER_BYTES));
    if (buffer == nullptr) {
        return fat_failure(FS_ERR_NOT_FOUND);
    }
    FileInfo found = fat_failure(FS_ERR_NOT_FOUND);
    // A folder whose chain loops is searched once round, and the search ends
    // there as a miss.
    FatChainSeen seen{};
    while (directory.end == 0) {
        mem_set(buffer, 0, LOOKUP_BUFFER_BYTES);
        directory = fat_read_chain(directory, buffer, &seen);
        if (directory.status != FS_OK && directory.status != FS_END_OF_CHAIN) {
            break;
        }
        if (fat_match_in_block(buffer, name, &found)) {
            break;
        }
    }
    heap_free(buffer);
    return found;
}

FileInfo fat_open_in_root(const char* path, bool skip_drive)
{
    const char* name = path;
    if (skip_drive) {
        const char* separator = str_find_char(path, SEPARATOR);
        name = separator != nullptr ? separator + 1 : "";
    }
    const FileInfo found = fat_find_in_root(name);
    return found.status == FS_OK ? found : fat_failure(FS_ERR_INVALID_FILE);
}

FileInfo fat_open(char* path)
{
    if (path == nullptr || path[0] == 0) {
        return fat_failure(FS_ERR_INVALID_FILE);
    }
    str_to_lower(path, path);
    floppy_motor(true);
    FileInfo result;
    if (str_starts_with_nocase(path, DRIVE_PREFIX)) {
        result = fat_open_absolute(path);
    } else if (str_find_char(path, SEPARATOR) != nullptr) {
        result = fat_failure(FS_ERR_NOT_FOUND);  // a relative path has no folders
    } else {
        result = fat_open_in_root(path, false);
    }
    floppy_motor(false);
    return result;
}
