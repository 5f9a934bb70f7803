// The fake 82077AA and 8237 channel 2 behind tests/fakes/fake_floppy.h.
#include "fakes/fake_floppy.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "drivers/dma.h"
#include "drivers/floppy.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "mm/vmm.h"

namespace fake::floppy {

namespace {

enum Port : uint16_t {
    DOR = 0x3F2,
    MSR = 0x3F4,
    FIFO = 0x3F5,
    DIR = 0x3F7,  // read: the digital input register
    DMA_CH2_ADDRESS = 0x04,
    DMA_CH2_COUNT = 0x05,
    DMA_SINGLE_MASK = 0x0A,
    DMA_MODE = 0x0B,
    DMA_FLIP_FLOP = 0x0C,
    DMA_CH2_PAGE = 0x81,
};

constexpr uint8_t DOR_NOT_RESET = 0x04;
constexpr uint8_t DOR_IRQ_DMA = 0x08;
constexpr uint8_t DOR_MOTOR_A = 0x10;

constexpr uint8_t DIR_DISK_CHANGED = 0x80;

constexpr uint8_t MSR_RQM = 0x80;
constexpr uint8_t MSR_DIO = 0x40;
constexpr uint8_t MSR_BUSY = 0x10;

constexpr uint8_t ST0_ABNORMAL = 0x40;
constexpr uint8_t ST0_INVALID = 0x80;
constexpr uint8_t ST0_SEEK_END = 0x20;
constexpr uint8_t ST0_READY_CHANGED = 0xC0;
constexpr uint8_t ST1_END_OF_CYLINDER = 0x80;
constexpr uint8_t ST1_DATA_ERROR = 0x20;
constexpr uint8_t ST1_OVERRUN = 0x10;
constexpr uint8_t ST1_NO_DATA = 0x04;
constexpr uint8_t ST1_MISSING_ADDRESS_MARK = 0x01;
constexpr uint8_t ST2_DATA_ERROR_IN_DATA = 0x20;
constexpr uint8_t ST2_CONTROL_MARK = 0x40;  // a deleted data address mark was read

constexpr int SECTORS = 18;
constexpr int HEADS = 2;
constexpr int CYLINDERS = 80;
constexpr uint32_t SECTOR_BYTES = 512;

struct Sense {
    uint8_t st0;
    uint8_t cylinder;
};

struct State {
    Controller c;
    bool in_reset = false;
    bool stuck = false;  // in an execution phase that never ends
    bool irq_pending = false;
    std::vector<uint8_t> command;
    std::deque<uint8_t> results;
    std::deque<Sense> senses;
    bool dma_high_byte = false;  // the 8237's byte flip-flop
};

State state;

// A step to another cylinder with a disk in the drive clears the drive's
// disk-change line.
void move_heads(Controller& c, uint8_t cylinder)
{
    if (cylinder != c.present_cylinder && c.disk != Disk::Ejected) {
        c.disk_changed = false;
    }
    c.present_cylinder = cylinder;
}

size_t command_length(uint8_t opcode)
{
    if ((opcode & 0x1F) == 0x06) {
        return 9;  // READ DATA with any of MT, MFM, SK
    }
    switch (opcode) {
        case 0x03:
            return 3;  // SPECIFY
        case 0x07:
            return 2;  // RECALIBRATE
        case 0x08:
            return 1;  // SENSE INTERRUPT
        case 0x0F:
            return 3;  // SEEK
        case 0x10:
            return 1;  // VERSION
        case 0x13:
            return 4;  // CONFIGURE
        default:
            return 1;  // invalid: answered with ST0 0x80
    }
}

uint32_t dma_physical(uint32_t offset)
{
    // The address register is 16 bits and wraps; the page register stays.
    return (uint32_t{state.c.dma_page} << 16) | ((state.c.dma_address + offset) & 0xFFFF);
}

bool dma_ready_for_read()
{
    const uint8_t mode = state.c.dma_mode;
    return !state.c.dma_masked && (mode & 0x03) == 2 && (mode & 0x0C) == 0x04;
}

void finish_read(uint8_t st0, uint8_t st1, uint8_t st2, uint8_t c, uint8_t h, uint8_t r, uint8_t n)
{
    const int answered = state.c.result_size_code;
    state.results = {st0, st1, st2, c, h, r, answered < 0 ? n : static_cast<uint8_t>(answered)};
    state.irq_pending = true;
}

void read_data(const std::vector<uint8_t>& cmd)
{
    Controller& c = state.c;
    ++c.reads;
    const bool multi_track = (cmd[0] & 0x80) != 0;
    const uint8_t drive = cmd[1] & 0x03;
    uint8_t cyl = cmd[2], head = cmd[3], sector = cmd[4];
    const uint8_t size_code = cmd[5], last_sector = cmd[6];

    if (c.disk == Disk::Ejected || (c.dor & DOR_MOTOR_A) == 0) {
        state.stuck = true;  // no index pulses: the sector is never found
        return;
    }
    if (c.disk == Disk::Unreadable) {
        finish_read(ST0_ABNORMAL | head << 2 | drive, ST1_MISSING_ADDRESS_MARK, 0, cyl, head, sector, size_code);
        return;
    }
    move_heads(c, cyl);  // implied seek
    if (cyl >= CYLINDERS || head >= HEADS || sector == 0 || sector > SECTORS || size_code != 2) {
        finish_read(ST0_ABNORMAL | head << 2 | drive, ST1_NO_DATA, 0, cyl, head, sector, size_code);
        return;
    }
    if (!dma_ready_for_read()) {
        ++c.protocol_errors;
        finish_read(ST0_ABNORMAL | head << 2 | drive, ST1_OVERRUN, 0, cyl, head, sector, size_code);
        return;
    }
    const bool data_error = c.read_errors > 0;
    if (data_error) {
        --c.read_errors;
    }

    const uint32_t started = dma_physical(0);
    uint32_t left = uint32_t{c.dma_count} + 1;  // the 8237 moves count + 1 bytes
    uint32_t moved = 0;
    bool track_end = false;
    bool deleted = false;
    // C, H, R move on after every sector as the result-phase table has it, so
    // the result names the sector after the last one moved: R + 1 inside the
    // track; at EOT, R = 1 and with MT on head 0 the other head, else C + 1
    // (with MT the head back to 0). A read with MT ends at the end of head 1.
    while (left > 0 && !track_end) {
        const uint32_t lba = (uint32_t{cyl} * HEADS + head) * SECTORS + sector - 1;
        const uint32_t n = left < SECTOR_BYTES ? left : SECTOR_BYTES;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t byte = c.image[lba * SECTOR_BYTES + i];
            *phys(dma_physical(moved + i)) = data_error ? static_cast<uint8_t>(~byte) : byte;
        }
        moved += n;
        left -= n;
        // With SK = 0 a deleted sector is read and ends the command, its
        // address left as it is.
        deleted = c.deleted_data.count(lba) != 0;
        if (data_error || deleted || n < SECTOR_BYTES) {
            break;
        }
        if (sector != last_sector) {
            ++sector;
            continue;
        }
        sector = 1;
        if (multi_track && head == 0) {
            head = 1;
        } else {
            ++cyl;
            head = multi_track ? 0 : head;
            track_end = true;
        }
    }
    // The channel advances; at terminal count it masks itself (no auto-initialise).
    c.dma_address = static_cast<uint16_t>(c.dma_address + moved);
    c.dma_count = static_cast<uint16_t>(c.dma_count - moved);
    if (left == 0) {
        c.dma_masked = true;
    }
    c.transfers.push_back({started, moved});

    const uint8_t st0_base = static_cast<uint8_t>(head << 2 | drive);
    if (data_error) {
        finish_read(ST0_ABNORMAL | st0_base, ST1_DATA_ERROR, ST2_DATA_ERROR_IN_DATA, cyl, head, sector, size_code);
    } else if (left > 0 && !deleted) {
        // Ran off the end of the cylinder before terminal count.
        finish_read(ST0_ABNORMAL | st0_base, ST1_END_OF_CYLINDER, 0, cyl, head, sector, size_code);
    } else {
        finish_read(st0_base, 0, deleted ? ST2_CONTROL_MARK : 0, cyl, head, sector, size_code);
    }
}

void execute(const std::vector<uint8_t>& cmd)
{
    Controller& c = state.c;
    c.commands.push_back(cmd);
    const uint8_t op = cmd[0];
    if ((op & 0x1F) == 0x06) {
        read_data(cmd);
        return;
    }
    switch (op) {
        case 0x10:
            state.results = {c.version};
            break;
        case 0x13:  // CONFIGURE
        case 0x03:  // SPECIFY
            break;
        case 0x07: {
            uint8_t cylinder = c.recalibrate_cylinder;
            if (c.recalibrate_failures > 0) {
                --c.recalibrate_failures;
                cylinder = 1;
            }
            move_heads(c, cylinder);
            state.senses.push_back({static_cast<uint8_t>(ST0_SEEK_END | (cmd[1] & 0x03)), cylinder});
            state.irq_pending = true;
            break;
        }
        case 0x0F: {
            uint8_t cylinder = cmd[2];
            if (c.seek_failures > 0) {
                --c.seek_failures;
                cylinder = cylinder > 0 ? cylinder - 1 : 1;
            }
            move_heads(c, cylinder);
            state.senses.push_back({static_cast<uint8_t>(ST0_SEEK_END | (cmd[1] & 0x07)), cylinder});
            state.irq_pending = true;
            break;
        }
        case 0x08:
            if (state.senses.empty()) {
                state.results = {ST0_INVALID};
            } else {
                const Sense s = state.senses.front();
                state.senses.pop_front();
                state.results = {s.st0, s.cylinder};
            }
            break;
        default:
            state.results = {ST0_INVALID};
            break;
    }
}

uint32_t read_msr(uint16_t)
{
    if (state.in_reset || !state.c.ready) {
        return 0;
    }
    if (state.stuck) {
        return MSR_BUSY;
    }
    if (!state.results.empty()) {
        return MSR_RQM | MSR_DIO | MSR_BUSY;
    }
    return state.command.empty() ? MSR_RQM : MSR_RQM | MSR_BUSY;
}

uint32_t read_fifo(uint16_t)
{
    if (state.results.empty() || state.in_reset || !state.c.ready) {
        ++state.c.protocol_errors;
        return 0;
    }
    const uint8_t v = state.results.front();
    state.results.pop_front();
    return v;
}

void write_fifo(uint16_t, uint32_t value)
{
    if (state.in_reset || !state.c.ready || state.stuck || !state.results.empty()) {
        ++state.c.protocol_errors;  // the controller is not taking command bytes
        return;
    }
    state.command.push_back(static_cast<uint8_t>(value));
    if (state.command.size() == command_length(state.command[0])) {
        const std::vector<uint8_t> cmd = std::move(state.command);
        state.command.clear();
        execute(cmd);
    }
}

void write_dor(uint16_t, uint32_t value)
{
    state.c.dor = static_cast<uint8_t>(value);
    if ((value & DOR_NOT_RESET) == 0) {
        state.in_reset = true;
        state.stuck = false;
        state.irq_pending = false;
        state.command.clear();
        state.results.clear();
        state.senses.clear();
        return;
    }
    if (state.in_reset) {
        state.in_reset = false;
        ++state.c.resets;
        if (state.c.irq_on_reset) {
            // Drive polling reports a ready change for each of the four drives.
            for (uint8_t drive = 0; drive < 4; ++drive) {
                state.senses.push_back({static_cast<uint8_t>(ST0_READY_CHANGED | drive), state.c.present_cylinder});
            }
            state.irq_pending = true;
        }
    }
}

void write_dma(uint16_t port, uint32_t value)
{
    Controller& c = state.c;
    const auto byte = static_cast<uint8_t>(value);
    switch (port) {
        case DMA_SINGLE_MASK:
            if ((byte & 0x03) == 2) {
                c.dma_masked = (byte & 0x04) != 0;
            }
            break;
        case DMA_MODE:
            if ((byte & 0x03) == 2) {
                c.dma_mode = byte;
            }
            break;
        case DMA_FLIP_FLOP:
            state.dma_high_byte = false;
            break;
        case DMA_CH2_ADDRESS:
        case DMA_CH2_COUNT: {
            uint16_t& reg = port == DMA_CH2_ADDRESS ? c.dma_address : c.dma_count;
            reg = state.dma_high_byte ? static_cast<uint16_t>((reg & 0x00FF) | byte << 8)
                                      : static_cast<uint16_t>((reg & 0xFF00) | byte);
            state.dma_high_byte = !state.dma_high_byte;
            break;
        }
        case DMA_CH2_PAGE:
            c.dma_page = byte;
            break;
        default:
            break;
    }
}

void run(const std::string& command)
{
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
}

}  // namespace

Controller& controller()
{
    return state.c;
}

void attach()
{
    state = State{};
    on_read(MSR, read_msr);
    on_read(DIR, [](uint16_t) -> uint32_t { return state.c.disk_changed ? DIR_DISK_CHANGED : 0; });
    on_read(FIFO, read_fifo);
    on_write(FIFO, write_fifo);
    on_write(DOR, write_dor);
    for (uint16_t port : {DMA_CH2_ADDRESS, DMA_CH2_COUNT, DMA_SINGLE_MASK, DMA_MODE, DMA_FLIP_FLOP, DMA_CH2_PAGE}) {
        on_write(port, write_dma);
    }
    on_relax = [] {
        timer_tick(0);
        // IRQ 6 interrupts the busy-wait, if the DOR lets it through.
        if (state.irq_pending && !state.in_reset && (state.c.dor & DOR_IRQ_DMA) != 0) {
            state.irq_pending = false;
            floppy_irq_work();
        }
    };
}

void eject()
{
    state.c.disk = Disk::Ejected;
    state.c.disk_changed = true;
}

void insert()
{
    state.c.disk = Disk::Inserted;
    state.c.disk_changed = true;
    state.stuck = false;  // index pulses again: the hung command gives up
}

void start_with_disk(const std::vector<uint8_t>& image)
{
    init_kernel_memory();
    reset_driver();
    timers_reset_all();
    sleep_timer_init();
    attach();
    controller().image = image;
    floppy_init();
    if (!floppy_load_fat_cache(false)) {
        throw std::runtime_error("the FAT cache did not load");
    }
}

void reset_driver()
{
    floppy_init();  // no controller answers yet: the drive stays unavailable
    port_writes.clear();
    relax_calls = 0;
}

std::vector<uint8_t> make_image(const std::vector<ImageEntry>& entries)
{
    char pattern[] = "/tmp/kval-disk-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    const std::filesystem::path dir = pattern;
    const std::string image = (dir / "disk.img").string();
    try {
        run("mkfs.fat -C -F 12 -n KVALTEST '" + image + "' 1440 >/dev/null");
        int n = 0;
        for (const ImageEntry& e : entries) {
            if (!e.path.empty() && e.path.back() == '/') {
                run("MTOOLS_SKIP_CHECK=1 mmd -i '" + image + "' '::/" + e.path.substr(0, e.path.size() - 1) + "'");
                continue;
            }
            const std::string source = (dir / ("file" + std::to_string(n++))).string();
            std::ofstream(source, std::ios::binary) << e.contents;
            run("MTOOLS_SKIP_CHECK=1 mcopy -i '" + image + "' '" + source + "' '::/" + e.path + "'");
        }
        std::ifstream in(image, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::filesystem::remove_all(dir);
        bytes.resize(IMAGE_BYTES, 0);
        return bytes;
    } catch (...) {
        std::filesystem::remove_all(dir);
        throw;
    }
}

void set_fat_entry(std::vector<uint8_t>& image, uint16_t cluster, uint16_t value)
{
    for (uint32_t fat = 0; fat < 2; ++fat) {
        uint8_t* at = image.data() + (1 + fat * 9) * SECTOR_BYTES + cluster + cluster / 2;
        uint16_t word = static_cast<uint16_t>(at[0] | at[1] << 8);
        word = (cluster & 1) != 0 ? static_cast<uint16_t>((word & 0x000F) | value << 4)
                                  : static_cast<uint16_t>((word & 0xF000) | value);
        at[0] = static_cast<uint8_t>(word);
        at[1] = static_cast<uint8_t>(word >> 8);
    }
}

}  // namespace fake::floppy
