// The in-memory disk of memdisk.h, and drivers/floppy.h on top of it.
#include "support/memdisk.h"

#include <cstring>
#include <vector>

#include "drivers/floppy.h"
#include "fs/fat12.h"
#include "mm/heap.h"

namespace fuzz::disk {

namespace {

uint8_t image[BLOCKS * BLOCK_BYTES];
std::vector<uint16_t> touched;  // blocks that may be non-zero
bool touched_mark[BLOCKS];
uint32_t read_count = 0;

bool motor_on = false;
uint8_t* fat_cache = nullptr;
uint16_t fat_cache_blocks = 0;

void touch(uint16_t b)
{
    if (!touched_mark[b]) {
        touched_mark[b] = true;
        touched.push_back(b);
    }
}

void drop_fat_cache()
{
    heap_free(fat_cache);
    fat_cache = nullptr;
    fat_cache_blocks = 0;
}

constexpr uint32_t DATA_BLOCK_BIAS = 31;  // cluster n is block n + 31
constexpr uint32_t FAT_SECTORS = 9;

}  // namespace

void clear()
{
    for (uint16_t b : touched) {
        std::memset(image + b * BLOCK_BYTES, 0, BLOCK_BYTES);
        touched_mark[b] = false;
    }
    touched.clear();
    read_count = 0;
    motor_on = false;
    drop_fat_cache();
}

void put(uint16_t b, const uint8_t* data, size_t bytes)
{
    if (b >= BLOCKS) {
        return;
    }
    touch(b);
    const size_t take = bytes < BLOCK_BYTES ? bytes : BLOCK_BYTES;
    std::memcpy(image + b * BLOCK_BYTES, data, take);
    std::memset(image + b * BLOCK_BYTES + take, 0, BLOCK_BYTES - take);
}

uint8_t* block(uint16_t b)
{
    touch(b);
    return image + b * BLOCK_BYTES;
}

bool insert()
{
    drop_fat_cache();
    BootSector boot;
    std::memcpy(&boot, image, sizeof boot);
    const uint32_t count = uint32_t{boot.fat_count} * boot.sectors_per_fat + boot.reserved_sectors;
    if (count == 0 || count > FLOPPY_SECTORS) {
        return false;
    }
    const uint32_t bytes = count * SECTOR_SIZE + CACHE_PADDING;
    fat_cache = static_cast<uint8_t*>(heap_alloc(bytes));
    if (fat_cache == nullptr) {
        return false;
    }
    std::memcpy(fat_cache, image, count * SECTOR_SIZE);
    std::memset(fat_cache + count * SECTOR_SIZE, 0, CACHE_PADDING);
    fat_cache_blocks = static_cast<uint16_t>(count);
    return true;
}

uint32_t reads()
{
    return read_count;
}

void format()
{
    uint8_t* boot = block(0);
    const uint8_t bpb[] = {0xEB, 0x3C, 0x90, 'M',  'K',  'F',  'S',  'F',  'U',  'Z',  'Z',  0x00, 0x02, 0x01,
                           0x01, 0x00, 0x02, 0xE0, 0x00, 0x40, 0x0B, 0xF0, 0x09, 0x00, 0x12, 0x00, 0x02, 0x00};
    std::memcpy(boot, bpb, sizeof bpb);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    set_fat(0, 0xFF0);
    set_fat(1, 0xFFF);
}

void set_fat(uint16_t cluster, uint16_t value)
{
    for (uint32_t copy = 0; copy < 2; ++copy) {
        const uint32_t offset = cluster + cluster / 2u;
        const uint32_t first = 1 + copy * FAT_SECTORS;
        uint8_t* lo = block(static_cast<uint16_t>(first + offset / BLOCK_BYTES)) + offset % BLOCK_BYTES;
        uint8_t* hi = block(static_cast<uint16_t>(first + (offset + 1) / BLOCK_BYTES)) + (offset + 1) % BLOCK_BYTES;
        if ((cluster & 1) != 0) {
            *lo = static_cast<uint8_t>((*lo & 0x0F) | (value << 4));
            *hi = static_cast<uint8_t>(value >> 4);
        } else {
            *lo = static_cast<uint8_t>(value);
            *hi = static_cast<uint8_t>((*hi & 0xF0) | ((value >> 8) & 0x0F));
        }
    }
}

void set_root_entry(uint32_t slot, const char* name, const char* extension, uint8_t attributes, uint16_t first_cluster,
                    uint32_t size)
{
    FatDirEntry entry{};
    std::memcpy(entry.name, name, sizeof entry.name);
    std::memcpy(entry.extension, extension, sizeof entry.extension);
    entry.attributes = attributes;
    entry.first_cluster = first_cluster;
    entry.size = size;
    const uint32_t offset = slot * sizeof entry;
    std::memcpy(block(static_cast<uint16_t>(ROOT_FIRST_BLOCK + offset / BLOCK_BYTES)) + offset % BLOCK_BYTES, &entry,
                sizeof entry);
}

uint16_t write_chain(uint16_t first_cluster, const uint8_t* data, size_t bytes)
{
    uint16_t cluster = first_cluster;
    for (size_t done = 0; done < bytes; done += BLOCK_BYTES, ++cluster) {
        const size_t left = bytes - done;
        put(static_cast<uint16_t>(cluster + DATA_BLOCK_BIAS), data + done, left < BLOCK_BYTES ? left : BLOCK_BYTES);
        set_fat(cluster, done + BLOCK_BYTES < bytes ? static_cast<uint16_t>(cluster + 1) : 0xFFF);
    }
    return bytes == 0 ? first_cluster : static_cast<uint16_t>(cluster - 1);
}

}  // namespace fuzz::disk

// ---- drivers/floppy.h ----

namespace disk = fuzz::disk;

void floppy_init()
{
    disk::motor_on = false;
}

bool floppy_read_sector(uint16_t block, uint8_t* buffer)
{
    if (!disk::motor_on || block >= FLOPPY_SECTORS || buffer == nullptr) {
        return false;
    }
    ++disk::read_count;
    std::memcpy(buffer, disk::image + block * SECTOR_SIZE, SECTOR_SIZE);
    return true;
}

void floppy_motor(bool on)
{
    disk::motor_on = on;
}

bool floppy_load_fat_cache(bool)
{
    return disk::insert();
}

bool floppy_refresh()
{
    return disk::insert();
}

const uint8_t* floppy_root_cache()
{
    return disk::image + ROOT_FIRST_BLOCK * SECTOR_SIZE;
}

const uint8_t* floppy_fat_cache()
{
    return disk::fat_cache;
}

uint16_t floppy_fat_cache_blocks()
{
    return disk::fat_cache_blocks;
}

bool floppy_drive_is_available()
{
    return true;
}

bool floppy_motor_is_on()
{
    return disk::motor_on;
}

bool floppy_root_from_disk()
{
    return false;
}

bool floppy_irq_pending()
{
    return false;
}
