// The shell's floppy commands. Each one takes its buffers from the heap
// when it starts and gives them back, and turns the motor off, on every way
// out. Cluster chains are read with fat_read_chain, so a chain that loops on
// a damaged disk ends, once round, like one that breaks.
#include "shell/disk.h"

#include "display/console.h"
#include "display/printf.h"
#include "drivers/floppy.h"
#include "drivers/speaker.h"
#include "fs/fat12.h"
#include "lib/string.h"
#include "mm/heap.h"
#include "shell/input.h"

namespace {

constexpr int32_t SECTOR_NUMBER_MAX = 3;  // characters
constexpr int32_t PATH_MAX = 40;
constexpr int32_t SECTOR_LIMIT = 900;  // rdsec reads blocks below this
constexpr uint32_t DATA_BUFFER_BYTES = SECTOR_SIZE + 1;
constexpr uint32_t HALF_SECTOR = 256;  // the output pauses after this many bytes
constexpr uint32_t ROWS_PER_PAGE = 10;
constexpr uint32_t SLOTS_PER_SECTOR = SECTOR_SIZE / sizeof(FatDirEntry);
constexpr uint8_t SLOT_FREE = 0x00;
constexpr uint8_t SLOT_DELETED = 0xE5;
constexpr uint8_t ATTRIBUTE_VOLUME = 0x08;  // also set in every long-name slot
constexpr uint8_t ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t NAME_COLUMNS = 12;

// Erasing a pause: backspaces from the line below back to column c of the
// row where the output stopped (a backspace at column 0 goes to the end of
// the row above), blanking the pause text on the way.
constexpr int32_t PAUSE_ERASE = 109;     // "\n---Press any key to continue": 28 characters
constexpr int32_t QUESTION_ERASE = 200;  // the two-line yes/no question

void erase_back(int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        con_putc('\b');
    }
}

// The mid-sector pause of rdsecascii and rdfile, taken off the screen again.
void pause_and_erase()
{
    const auto column = static_cast<int32_t>(con_get_x());
    con_set_color(COLOR_WHITE);
    con_puts("\n---Press any key to continue");
    shell_wait_key();
    con_set_color(COLOR_LIGHT_CYAN);
    erase_back(PAUSE_ERASE - column);
}

uint8_t* data_buffer_alloc()
{
    auto* buffer = static_cast<uint8_t*>(heap_alloc(DATA_BUFFER_BYTES));
    if (buffer == nullptr) {
        shell_error("\nNot enough memory.");
        return nullptr;
    }
    mem_set(buffer, 0, DATA_BUFFER_BYTES);
    return buffer;
}

// The listing's buffer; its failure is reported as the listing's own.
uint8_t* listing_buffer_alloc()
{
    auto* buffer = static_cast<uint8_t*>(heap_alloc(DATA_BUFFER_BYTES));
    if (buffer == nullptr) {
        con_set_color(COLOR_LIGHT_RED);
        con_putc('\n');
        con_puts("Internal Error.");
        speaker_beep();
    }
    return buffer;
}

void listing_failed(const char* message)
{
    con_set_color(COLOR_LIGHT_RED);
    con_putc('\n');
    con_puts(message);
    speaker_beep();
}

void listing_header()
{
    con_set_color(COLOR_LIGHT_CYAN);
    con_printf("\nName               Type             Size (Bytes)");
    con_set_color(COLOR_WHITE);
}

// Lists the 16 slots of one directory sector; pauses after every tenth row.
void list_slots(const uint8_t* sector, uint32_t* rows)
{
    for (uint32_t slot = 0; slot < SLOTS_PER_SECTOR; ++slot) {
        FatDirEntry entry;
        mem_copy(&entry, sector + slot * sizeof(FatDirEntry), sizeof entry);
        const auto first = static_cast<uint8_t>(entry.name[0]);
        if (first != SLOT_FREE && first != SLOT_DELETED && (entry.attributes & ATTRIBUTE_VOLUME) == 0) {
            char name[NAME_COLUMNS];
            mem_set(name, ' ', sizeof name);
            fat_format_name(entry.name, entry.extension, name);
            con_putc('\n');
            for (const char c : name) {
                con_putc(c == 0 ? ' ' : static_cast<uint8_t>(c));
            }
            if ((entry.attributes & ATTRIBUTE_DIRECTORY) != 0) {
                con_puts("       <DIR>            ");
            } else {
                con_printf("       File             %i", entry.size);
            }
            ++*rows;
        }
        if (*rows == ROWS_PER_PAGE) {
            *rows = 0;
            const uint8_t color = con_get_color();
            con_set_color(COLOR_LIGHT_GREEN);
            con_printf("\nPress Any Key To Continue...");
            shell_wait_key();
            con_set_color(color);
        }
    }
}

void print_sector(const uint8_t* data, bool ascii)
{
    con_set_color(COLOR_LIGHT_CYAN);
    for (uint32_t i = 0; i < SECTOR_SIZE; ++i) {
        con_printf(ascii ? "%c" : "0x%x ", data[i]);
        if (i + 1 != HALF_SECTOR) {
            continue;
        }
        if (ascii) {
            pause_and_erase();
        } else {
            con_set_color(COLOR_WHITE);
            con_puts("\n---Press any key to continue\n");
            shell_wait_key();
            con_set_color(COLOR_LIGHT_CYAN);
        }
    }
}

}  // namespace

void cmd_rdsec(bool ascii)
{
    char* text = shell_ask("\nPlease enter the sector number > ", SECTOR_NUMBER_MAX);
    if (text == nullptr) {
        return;
    }
    // Every number below 900 goes on; a negative one fails at the read.
    const int32_t sector = str_to_int(text);
    if (sector >= SECTOR_LIMIT) {
        shell_error("\nPlease Choose a sector between 0 and 899");
        heap_free(text);
        return;
    }
    uint8_t* data = data_buffer_alloc();
    if (data == nullptr) {
        heap_free(text);
        return;
    }
    con_set_color(COLOR_LIGHT_MAGENTA);
    con_printf("\nSector %i contents :\n", sector);
    floppy_motor(true);
    const bool read = sector >= 0 && floppy_read_sector(static_cast<uint16_t>(sector), data);
    floppy_motor(false);
    if (read) {
        print_sector(data, ascii);
    } else {
        con_set_color(COLOR_LIGHT_RED);
        speaker_beep();
        con_printf("\nError while reading the sector %i", sector);
    }
    heap_free(data);
    heap_free(text);
}

void cmd_rdfile()
{
    char* path = shell_ask("\nPlease enter the file path > ", PATH_MAX);
    if (path == nullptr) {
        floppy_motor(false);
        return;
    }
    FileInfo file = fat_open(path);
    const bool reported = fat_print_error(file.status) != 0;
    if (reported || file.directory != 0) {
        heap_free(path);
        floppy_motor(false);
        speaker_beep();
        if (!reported) {
            con_set_color(COLOR_LIGHT_RED);
            con_puts("\nInvalid File");
        }
        return;
    }
    uint8_t* data = data_buffer_alloc();
    if (data == nullptr) {
        heap_free(path);
        return;
    }
    con_set_color(COLOR_LIGHT_MAGENTA);
    con_printf("\n**************[%s]**************\n", file.name);
    con_set_color(COLOR_LIGHT_CYAN);
    floppy_motor(true);
    FatChainSeen seen{};
    while (file.end == 0) {
        mem_set(data, 0, SECTOR_SIZE);
        file = fat_read_chain(file, data, &seen);
        if (fat_print_error(file.status) != 0) {
            speaker_beep();
            break;
        }
        for (uint32_t i = 0; i < SECTOR_SIZE; ++i) {
            con_putc(data[i]);
            if (i + 1 == HALF_SECTOR) {
                pause_and_erase();
            }
        }
        if (file.end == 1) {
            break;
        }
        const auto column = static_cast<int32_t>(con_get_x());
        con_set_color(COLOR_WHITE);
        if (!prompt_yes_no("Do you want to continue reading ?")) {
            break;
        }
        erase_back(QUESTION_ERASE - column);
        con_set_color(COLOR_LIGHT_CYAN);
    }
    heap_free(data);
    heap_free(path);
    floppy_motor(false);
}

void cmd_dir()
{
    char* path = shell_ask("\nPlease enter the path to dir > ", PATH_MAX);
    if (path == nullptr) {
        return;
    }
    dir_list_path(path);
    heap_free(path);
}

void dir_list_path(char* path)
{
    str_to_lower(path, path);
    floppy_motor(true);
    if (str_compare(path, "a:\\") == 0 || str_compare(path, "a:") == 0) {
        dir_list_root();
    } else if (path[0] != 0) {
        dir_list_folder(path);
    }
    floppy_motor(false);
}

void dir_list_root()
{
    uint8_t* sector = listing_buffer_alloc();
    if (sector == nullptr) {
        return;
    }
    listing_header();
    uint32_t rows = 0;
    for (uint32_t block = ROOT_FIRST_BLOCK; block <= ROOT_LAST_BLOCK; ++block) {
        mem_set(sector, 0, DATA_BUFFER_BYTES);
        if (!floppy_read_sector(static_cast<uint16_t>(block), sector)) {
            heap_free(sector);
            listing_failed("Cannot read from the Root Directory.");
            return;
        }
        list_slots(sector, &rows);
    }
    heap_free(sector);
}

void dir_list_folder(char* path)
{
    if (str_ends_with_nocase(path, "\\")) {
        path[str_len(path) - 1] = 0;
    }
    FileInfo folder = fat_open(path);
    floppy_motor(true);
    if (folder.status != FS_OK || folder.directory != 1) {
        listing_failed("Invalid Folder.");
        return;
    }
    uint8_t* sector = listing_buffer_alloc();
    if (sector == nullptr) {
        return;
    }
    listing_header();
    uint32_t rows = 0;
    FatChainSeen seen{};
    while (folder.end == 0) {
        mem_set(sector, 0, SECTOR_SIZE);
        folder = fat_read_chain(folder, sector, &seen);
        if (folder.status != FS_OK && folder.status != FS_END_OF_CHAIN) {
            listing_failed("Error While Reading.");
            break;
        }
        list_slots(sector, &rows);
    }
    heap_free(sector);
}

void cmd_upflpy()
{
    con_set_color(COLOR_WHITE);
    if (!prompt_yes_no("Are you sure that you want to update the saved data of the floppy ?")) {
        return;
    }
    con_puts("\n\nPlease wait while updating...");
    if (floppy_refresh()) {
        con_set_color(COLOR_LIGHT_CYAN);
        con_puts("\n\nData Updating succeeded");
    } else {
        speaker_beep();
        con_set_color(COLOR_LIGHT_RED);
        con_puts("\n\nFATAL ERROR : Floppy Disk data updating failed.");
    }
}
