// The .kvx loader, in two halves. exe_load runs in the caller: it checks the
// path, finds the file and builds the new address space and process record,
// without reading the file. app_bootstrap is that process's first code: in
// its own address space it reads the file cluster by cluster into the image
// region, checks the header, reports to the load status word and enters the
// program at byte 10.
#include "proc/exe.h"

#include "cpu/isr.h"
#include "drivers/floppy.h"
#include "fs/fat12.h"
#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/status.h"
#include "lib/string.h"
#include "mm/heap.h"
#include "mm/vmm.h"
#include "proc/process.h"

namespace {

constexpr uint32_t SECTOR_BUFFER_BYTES = SECTOR_SIZE + 1;
constexpr uint8_t JMP_REL32 = 0xE9;
constexpr uint32_t NO_START = 0xFFFFFFFF;
// The last two bytes of the image region are left as they are when it is cleared.
constexpr uint32_t CLEAR_SPARED_BYTES = 2;

volatile int32_t load_status = STATUS_LOAD_PENDING;

// The start in flight (one at a time: the shell waits for each): its PID and
// sector buffer, so that a fault inside it can still report and clean up.
uint32_t starting_pid = NO_START;
uint8_t* start_buffer = nullptr;

bool has_kvx_extension(const char* path)
{
    const uint32_t length = str_len(path);
    constexpr const char* SUFFIX = ".kvx";
    constexpr uint32_t SUFFIX_LENGTH = 4;
    if (length < SUFFIX_LENGTH) {
        return false;
    }
    for (uint32_t i = 0; i < SUFFIX_LENGTH; ++i) {
        if (char_to_lower(static_cast<uint8_t>(path[length - SUFFIX_LENGTH + i])) != static_cast<uint8_t>(SUFFIX[i])) {
            return false;
        }
    }
    return true;
}

// A failed start posts its status, gives back its buffer, stops the motor,
// marks itself for the system process and waits to be ended.
[[noreturn]] void start_failed(int32_t status)
{
    floppy_motor(false);
    if (start_buffer != nullptr) {
        mem_set(start_buffer, 0, SECTOR_BUFFER_BYTES);
        heap_free(start_buffer);
        start_buffer = nullptr;
    }
    starting_pid = NO_START;
    load_status = status;
    process_set_state(process_current_pid(), PROCESS_KILL_REQUESTED);
    for (;;) {
        cpu_relax();
    }
}

// Reads the file into the image region, the header checked on the first
// cluster; any failure ends the start. The chain, not the size, says where
// the file ends: a chain longer than the region (a damaged disk) is refused
// before it can write past it, and one that loops at the first cluster that
// comes round again. Never inlined: the program starts on this stack, just
// below app_bootstrap's frame, and the chain's seen-set (357 bytes) is to be
// gone from it by then.
[[gnu::noinline]] void read_image(const ProcessRecord& self)
{
    const uint32_t region_bytes = self.image_pages * PAGE_SIZE;
    FileInfo file = self.file_info;
    FatChainSeen seen{};
    uint32_t offset = 0;
    floppy_motor(true);
    while (file.end == 0) {
        if (offset + SECTOR_SIZE > region_bytes) {
            start_failed(STATUS_EXECUTABLE_INVALID);
        }
        mem_set(start_buffer, 0, SECTOR_SIZE);
        file = fat_read_chain(file, start_buffer, &seen);
        if (file.status != FS_OK && file.status != FS_END_OF_CHAIN) {
            start_failed(STATUS_EXECUTABLE_INVALID);
        }
        if (offset == 0 && exe_check_header(start_buffer) != 0) {
            start_failed(STATUS_EXECUTABLE_INVALID);
        }
        mem_copy(virt_ptr(self.image_base + offset), start_buffer, SECTOR_SIZE);
        offset += SECTOR_SIZE;
    }
    floppy_motor(false);
}

}  // namespace

int32_t exe_load(char* path, uint32_t initial_edx, uint32_t time_slice, uint32_t type)
{
    if (path[0] == 0) {
        return STATUS_EMPTY_PATH;
    }
    if (!has_kvx_extension(path)) {
        return STATUS_WRONG_KIND;
    }
    if (!process_table_has_room()) {
        return STATUS_NO_FREE_SLOT;
    }
    const FileInfo file = fat_open(path);
    if ((file.status != FS_OK && file.status != FS_END_OF_CHAIN) || file.directory != 0) {
        return STATUS_EXECUTABLE_INVALID;
    }
    uint32_t directory = 0;
    const int32_t built = process_space_create(&directory);
    if (built != STATUS_OK) {
        return built;
    }
    const uint32_t pages = file.size / PAGE_SIZE + 2;
    const uint32_t frames = pmm_alloc_frames(pages);
    if (frames == 0) {
        process_space_free(directory);
        return STATUS_MAPPING_FAILED;
    }
    if (!vmm_map_range(frames, EXE_IMAGE_BASE, false, true, pages, directory)) {
        process_space_free(directory);
        pmm_free_frames(frames, pages);
        return STATUS_MAPPING_FAILED;
    }
    ProcessRecord record = process_record_new(file.name, reinterpret_cast<uintptr_t>(&app_bootstrap), directory,
                                              initial_edx, time_slice, type);
    record.image_pages = pages;
    record.has_image = 1;
    record.image_base = EXE_IMAGE_BASE;
    record.file_info = file;
    if (process_add(record) != STATUS_OK) {
        vmm_unmap_range(EXE_IMAGE_BASE, pages, directory);  // gives the image frames back
        process_space_free(directory);
        return STATUS_BAD_ARGUMENT;
    }
    return STATUS_OK;
}

int32_t exe_load_status()
{
    return load_status;
}

void exe_load_status_reset()
{
    load_status = STATUS_LOAD_PENDING;
}

int32_t exe_check_header(const uint8_t* buffer)
{
    if (buffer == nullptr) {
        return -1;
    }
    const auto* header = reinterpret_cast<const ExeHeader*>(buffer);
    const auto same = [](const char* field, const char* text, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            if (field[i] != text[i]) {
                return false;
            }
        }
        return true;
    };
    if (!same(header->magic, "KVALME", sizeof header->magic)) {
        return -2;
    }
    if (!same(header->version, "1 ", sizeof header->version)) {
        return -3;
    }
    if (!same(header->kind, "A ", sizeof header->kind)) {
        return -4;
    }
    if (header->jump != JMP_REL32) {
        return -5;
    }
    if (header->zero[0] != 0 || header->zero[1] != 0 || header->zero[2] != 0) {
        return -6;
    }
    return 0;
}

uint32_t exe_entry(uint32_t image_base)
{
    return image_base + EXE_ENTRY_OFFSET;
}

void app_bootstrap()
{
    ProcessRecord self;
    process_get_record(&self, process_current_pid());
    starting_pid = self.pid;
    start_buffer = static_cast<uint8_t*>(heap_alloc(SECTOR_BUFFER_BYTES));
    if (start_buffer == nullptr) {
        start_failed(STATUS_OUT_OF_MEMORY);
    }
    mem_set(virt_ptr(self.image_base), 0, self.image_pages * PAGE_SIZE - CLEAR_SPARED_BYTES);
    read_image(self);
    mem_set(start_buffer, 0, SECTOR_BUFFER_BYTES);
    heap_free(start_buffer);
    start_buffer = nullptr;

    interrupts_disable();
    starting_pid = NO_START;
    load_status = STATUS_OK;
    app_enter(exe_entry(self.image_base), self.eflags, self.edx);
}

void exe_abandon_start(uint32_t pid)
{
    if (pid != starting_pid) {
        return;
    }
    floppy_motor(false);
    if (start_buffer != nullptr) {
        heap_free(start_buffer);
        start_buffer = nullptr;
    }
    starting_pid = NO_START;
    load_status = STATUS_EXECUTABLE_INVALID;
}
