// The process table: the switch order and what a switch saves, admission,
// creation with its undo paths, termination and the reaper, and the system
// process's CTRL+ENTER watch.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "drivers/keyboard.h"
#include "fakes/hw_test.h"
#include "fakes/processes.h"
#include "lib/status.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "mm/vmm.h"
#include "proc/process.h"

namespace {

using fake::processes::record;
using fake::processes::run;

constexpr uint32_t ENTRY = 0xC0001000;

ProcessRecord get(uint32_t pid)
{
    ProcessRecord out;
    return *process_get_record(&out, pid);
}

// What a process costs: frames in use and heap bytes in use.
std::pair<uint32_t, uint32_t> used()
{
    const uint32_t heap_bytes = heap_control_block()->used_bytes;
    return {pmm_used_size(true), heap_bytes};
}

int32_t create(const char* name, uint32_t time_slice = 3)
{
    return process_create(name, ENTRY, 1, 0, time_slice, PROCESS_APPLICATION);
}

class ProcessTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::processes::boot();
    }
    void TearDown() override { fake::processes::shut_down(); }
};

TEST_F(ProcessTest, SlotZeroComesAfterTheHighestActiveSlotAndTheFirstSwitchSavesNothing)
{
    const TickFrame frame = {1, 2, 3, 0xC0100F00, 5, 6, 7, 8, 0xC0002000, 8, 0x246};
    EXPECT_EQ(scheduler_next(&frame)->pid, 0u) << "only KVALSYS: it is resumed again";
    EXPECT_EQ(scheduler_next(&frame)->pid, 0u);

    fake::processes::boot();
    const ProcessRecord kvalsys = get(0);
    for (const char* name : {"A", "B", "C"}) {
        ASSERT_EQ(create(name), STATUS_OK);
    }
    ASSERT_EQ(process_terminate(2), STATUS_OK);  // slots 0, 1 and 3 active
    std::vector<uint32_t> order;
    for (int i = 0; i < 7; ++i) {
        const ProcessRecord* next = scheduler_next(&frame);
        order.push_back(next->pid);
        EXPECT_EQ(vmm_current_directory(), next->page_directory);
        if (i == 0) {
            const ProcessRecord now = get(0);
            EXPECT_EQ(std::memcmp(&now, &kvalsys, sizeof kvalsys), 0) << "the start-up thread is dropped";
        }
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 3, 0, 1, 3, 0}));
    const ProcessRecord saved = get(1);
    EXPECT_EQ((std::vector<uint32_t>{saved.edi, saved.esi, saved.ebp, saved.esp, saved.ebx, saved.edx, saved.ecx,
                                     saved.eax, saved.eip, saved.eflags}),
              (std::vector<uint32_t>{1, 2, 3, 0xC0100F00, 5, 6, 7, 8, 0xC0002000, 0x246}));
    EXPECT_EQ(saved.cs, 8) << "selectors are not saved";
}

TEST_F(ProcessTest, AdmissionChecksTheRecordAndTakesTheLowestFreeSlot)
{
    const std::vector<std::pair<std::function<void(ProcessRecord&)>, int32_t>> cases = {
        {[](ProcessRecord& r) { std::strcpy(r.name, "THIRTEENCHARS"); }, STATUS_OK},
        {[](ProcessRecord& r) { std::memcpy(r.name, "FOURTEENCHARSX", 14); }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.time_slice = 0; }, STATUS_OK},
        {[](ProcessRecord& r) { r.page_directory = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.stack_base = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.stack_pages = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.cs = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.gs = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.ss = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.eip = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.esp = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.eflags = 0; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.has_image = 1, r.image_base = 0x80000000, r.file_info.size = 0; },
         STATUS_INVALID_EXECUTABLE_RECORD},
        {[](ProcessRecord& r) {
             r.has_image = 1, r.image_base = 0x80000000, r.file_info.size = 9, r.file_info.status = -2;
         },
         STATUS_INVALID_EXECUTABLE_RECORD},
        {[](ProcessRecord& r) { r.has_image = 1, r.image_base = 0, r.file_info.size = 9; }, STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.has_image = 1, r.image_base = 0x80000000, r.image_pages = 0, r.file_info.size = 9; },
         STATUS_INVALID_RECORD},
        {[](ProcessRecord& r) { r.has_image = 1, r.image_base = 0x80000000, r.file_info.size = 9; }, STATUS_OK},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        fake::processes::boot();
        ProcessRecord r = record("CASE");
        r.pid = 4;
        r.state = PROCESS_KILL_REQUESTED;
        r.reserved = 7;
        cases[i].first(r);
        EXPECT_EQ(process_add(r), cases[i].second) << "case " << i;
        EXPECT_EQ(process_is_active(1), cases[i].second == STATUS_OK) << "case " << i;
        if (cases[i].second == STATUS_OK) {
            const ProcessRecord slot = get(1);
            EXPECT_EQ((std::vector<uint32_t>{slot.pid, slot.state, slot.reserved}), (std::vector<uint32_t>{1, 0, 0}));
            EXPECT_EQ(slot.file_info.size, r.has_image == 1 ? 9u : 0u) << "file_info only with an image";
        }
    }

    fake::processes::boot();
    for (uint32_t pid = 1; pid <= 4; ++pid) {
        ASSERT_EQ(process_add(record("FILL")), STATUS_OK);
    }
    EXPECT_FALSE(process_table_has_room());
    ProcessRecord invalid = record("FULL");
    invalid.eip = 0;
    EXPECT_EQ(process_add(invalid), STATUS_TABLE_FULL) << "a full table is reported first";
}

TEST_F(ProcessTest, CreateBuildsTheStandardRecordAndTerminationGivesEverythingBack)
{
    const auto before = used();
    ASSERT_EQ(process_create("KVALCLI", ENTRY, 1, 0x55, 6, PROCESS_SYSTEM), STATUS_OK);
    const ProcessRecord shell = get(1);
    EXPECT_STREQ(shell.name, "KVALCLI");
    EXPECT_EQ((std::vector<uint32_t>{shell.eip, shell.esp, shell.ebp, shell.edx, shell.image_pages, shell.time_slice,
                                     shell.stack_base, shell.stack_pages, shell.type}),
              (std::vector<uint32_t>{ENTRY, 0x90001FE0, 0, 0x55, 2, 6, 0x90000000, 2, PROCESS_SYSTEM}));
    EXPECT_NE(shell.page_directory, vmm_kernel_directory());
    ASSERT_EQ(create("BIG", 0), STATUS_OK);

    run(1);
    EXPECT_EQ(process_terminate(2), STATUS_NOT_ALLOWED) << "only the system process terminates";
    run(0);
    for (const uint32_t pid : {0u, 3u, 4u, 5u}) {
        EXPECT_EQ(process_terminate(pid), STATUS_INVALID_PID) << pid;
    }
    EXPECT_EQ(process_terminate(2), STATUS_OK);
    EXPECT_EQ(process_terminate(1), STATUS_OK);
    EXPECT_EQ(used(), before);
    EXPECT_EQ(scheduler_is_enabled(), 1) << "termination switches scheduling on again";
    EXPECT_EQ(vmm_current_directory(), vmm_kernel_directory());

    ProcessRecord fresh{};
    fresh.pid = 1;
    fresh.type = PROCESS_APPLICATION;
    fresh.time_slice = 3;
    const ProcessRecord slot = get(1);
    EXPECT_EQ(std::memcmp(&slot, &fresh, sizeof fresh), 0) << "a terminated slot is like one never used";
}

TEST_F(ProcessTest, EveryFailedCreateGivesBackWhatItTook)
{
    // The kernel directory's page tables: a copy needs as many low frames.
    const auto* kernel_entries = reinterpret_cast<const uint32_t*>(fake::phys(vmm_kernel_directory()));
    const uint32_t tables = static_cast<uint32_t>(
        std::count_if(kernel_entries, kernel_entries + PAGE_ENTRIES, [](uint32_t e) { return (e & 1) != 0; }));

    EXPECT_EQ(process_create("X", 0, 1, 0, 3, 2), STATUS_BAD_ARGUMENT);
    EXPECT_EQ(process_create("X", ENTRY, 0, 0, 3, 2), STATUS_BAD_ARGUMENT);
    EXPECT_EQ(process_create("FOURTEENCHARSX", ENTRY, 1, 0, 3, 2), STATUS_BAD_ARGUMENT);

    // Low frames left: none for the directory; the directory and one table,
    // so every copy fails half-way; the directory and its copies but no
    // table for the stack.
    ASSERT_GT(tables, 1u);
    for (const auto& [left, expected] : std::vector<std::pair<uint32_t, int32_t>>{
             {0, STATUS_OUT_OF_MEMORY}, {3, STATUS_MAPPING_FAILED}, {2 + tables, STATUS_BAD_ARGUMENT}}) {
        fake::processes::boot();
        std::vector<uint32_t> hoard;
        for (uint32_t frame; (frame = pmm_alloc_frames_below(1, LOW_MEMORY_END)) != 0;) {
            hoard.push_back(frame);
        }
        for (uint32_t i = 0; i < left; ++i) {
            pmm_free_frame(hoard.back());
            hoard.pop_back();
        }
        const auto before = used();
        EXPECT_EQ(create("X"), expected) << left << " low frames";
        EXPECT_EQ(used(), before) << left << " low frames";
    }

    fake::processes::boot();
    for (uint32_t pid = 1; pid <= 4; ++pid) {
        ASSERT_EQ(process_add(record("FILL")), STATUS_OK);
    }
    const auto before = used();
    EXPECT_EQ(create("REFUSED"), STATUS_BAD_ARGUMENT);
    EXPECT_EQ(used(), before) << "a refused admission unmaps the stack and frees the directory";
}

TEST_F(ProcessTest, LookupsMarksAndTheReaper)
{
    EXPECT_EQ(process_set_state(5, PROCESS_KILL_REQUESTED), STATUS_INVALID_PID);
    EXPECT_EQ(process_is_active(5), 0);
    ASSERT_EQ(create("A"), STATUS_OK);
    run(1);
    EXPECT_EQ(get(9).pid, 1u) << "beyond the table: the current process";
    run(0);

    const auto before = used();
    ASSERT_EQ(create("VICTIM"), STATUS_OK);  // slot 2
    EXPECT_EQ(process_set_state(2, PROCESS_KILL_REQUESTED), STATUS_OK);
    EXPECT_EQ(process_set_state(3, PROCESS_KILL_REQUESTED), STATUS_OK) << "free slots are marked too";
    process_reap_marked();
    EXPECT_EQ(process_is_active(2), 0);
    EXPECT_EQ(used(), before);
    EXPECT_EQ(get(3).state, PROCESS_NORMAL) << "a free slot's mark is cleared";
    ASSERT_EQ(create("B"), STATUS_OK);
    ASSERT_EQ(create("C"), STATUS_OK);
    EXPECT_EQ(process_is_active(3), 1) << "so the slot can be handed out again";
}

// Between passes it halts; a mark made meanwhile by another process is
// reaped as soon as the next interrupt ends the halt.
TEST_F(ProcessTest, TheSystemProcessHaltsBetweenPassesAndReapsAMarkAtTheNextOne)
{
    ASSERT_EQ(create("APP"), STATUS_OK);
    run(0);
    fake::interrupts_on = true;
    int turns = 0;
    bool reaped_at_once = false;
    fake::on_relax = [&] {
        timer_tick(0);
        ++turns;
        if (turns == 3) {
            process_set_state(1, PROCESS_KILL_REQUESTED);
        } else if (turns == 4) {
            reaped_at_once = process_is_active(1) == 0;
        } else if (turns == 6) {
            throw turns;
        }
    };
    EXPECT_THROW(system_process_main(), int);
    EXPECT_TRUE(reaped_at_once);
    EXPECT_EQ(fake::halts, 6);
}

TEST_F(ProcessTest, CtrlEnterGivesTheConsoleBackToTheShellAndLeavesTheKey)
{
    ASSERT_EQ(create("APP"), STATUS_OK);
    run(1);
    console_focus_set(0);
    EXPECT_EQ(console_focus_owner(), 1u);
    EXPECT_EQ(console_focus_is_shell(), 0);
    run(0);

    fake::set_default_read(0x64, 0x00);
    for (const uint8_t scan : {0x1D, 0x1C}) {  // Ctrl held, then Enter
        fake::queue_reads(0x64, {0x01});
        fake::queue_reads(0x60, {scan});
        kbd_irq_work();
    }
    int turns = 0;
    fake::on_relax = [&] {
        timer_tick(0);
        if (++turns == 5) {
            throw turns;
        }
    };
    EXPECT_THROW(system_process_main(), int);
    EXPECT_EQ(console_focus_is_shell(), 1);
    EXPECT_EQ(console_focus_owner(), 0u);
    EXPECT_EQ(kbd_peek_key(), KEY_ENTER);
    kbd_shutdown();
}

}  // namespace
