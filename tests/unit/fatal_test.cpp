// fatal_error's two outcomes, which report it shows where, and the
// double-fault task.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/fatal.h"
#include "cpu/gdt.h"
#include "cpu/isr.h"
#include "cpu/tss.h"
#include "display/console.h"
#include "fakes/hw_test.h"
#include "fakes/processes.h"
#include "fakes/screen.h"
#include "proc/process.h"

namespace {

constexpr uint8_t YELLOW_ON_BLUE = 0x1E;
constexpr uint8_t LIGHT_RED_ON_BLUE = 0x1C;
constexpr uint8_t LIGHT_CYAN_ON_BLUE = 0x1B;

class FatalTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        console_init();
    }
    void TearDown() override { fake::processes::shut_down(); }

    // `name` running in slot `pid` (the slots below it filled), switching on.
    static void make_current(uint32_t pid, const char* name, uint32_t type)
    {
        fake::processes::boot();
        for (uint32_t filler = 1; filler < pid; ++filler) {
            ASSERT_EQ(process_add(fake::processes::record("FILLER")), 0);
        }
        ASSERT_EQ(process_add(fake::processes::record(name, type)), 0);
        fake::processes::run(pid);
        console_init();  // memory bring-up printed nothing, but start from a clean screen
        scheduler_set_enabled(1);
    }

    // The kernel report, whose layout row by row the system tests check: the
    // screen cleared, the explanation, the message.
    static void expect_kernel_report(const std::string& message)
    {
        EXPECT_TRUE(screen::row_is(0, ' ', YELLOW_ON_BLUE));
        EXPECT_EQ(screen::line(10), "Kestrel Vale (KVAL) detected an error and it turned off itself to");
        EXPECT_EQ(screen::attr_at(0, 10), LIGHT_CYAN_ON_BLUE);
        EXPECT_EQ(screen::line(16), "[KVAL] : Fatal Error : " + message);
        EXPECT_EQ(screen::attr_at(0, 16), LIGHT_RED_ON_BLUE);
        EXPECT_EQ(screen::attr_at(22 + message.size(), 16), LIGHT_RED_ON_BLUE);
    }
};

TEST_F(FatalTest, DivisionByZeroDuringStartUpShowsTheKernelReportAndStops)
{
    con_set_colors(COLOR_WHITE, COLOR_BLACK);
    con_puts("text from before the error");
    fake::interrupts_on = true;

    EXPECT_THROW(exception_dispatch(0), fake::Halted);

    EXPECT_FALSE(fake::interrupts_on);
    expect_kernel_report("Division By Zero");
    EXPECT_TRUE(screen::row_is(17, ' ', YELLOW_ON_BLUE)) << "no process line during start-up";
    EXPECT_TRUE(fake::syscalls.empty());

    EXPECT_THROW(fatal_error("100% lost %s %i"), fake::Halted);
    EXPECT_EQ(screen::line(16), "[KVAL] : Fatal Error : 100% lost %s %i") << "the message is printed verbatim";
}

TEST_F(FatalTest, FaultInASystemProcessNamesItUnderTheReport)
{
    make_current(1, "KVALCLI", PROCESS_SYSTEM);
    fake::interrupts_on = true;

    EXPECT_THROW(fatal_error("General Protection Fault"), fake::Halted);

    expect_kernel_report("General Protection Fault");
    EXPECT_EQ(screen::line(17), "[KVAL] : The Name of the Process : KVALCLI");
    EXPECT_EQ(screen::attr_at(0, 17), LIGHT_RED_ON_BLUE);
    EXPECT_EQ(scheduler_is_enabled(), 0) << "task switching stays off";
    EXPECT_FALSE(fake::interrupts_on);
    EXPECT_TRUE(fake::syscalls.empty());
}

TEST_F(FatalTest, FaultInAnApplicationEndsOnlyThatApplication)
{
    make_current(2, "DEMO.KVX", PROCESS_APPLICATION);
    con_puts("\nKVAL> ");
    con_set_color(COLOR_WHITE);
    bool switching_and_interrupts_on_at_call = false;
    fake::on_syscall = [&](uint32_t number) {
        switching_and_interrupts_on_at_call = scheduler_is_enabled() == 1 && fake::interrupts_on;
        throw number;
    };

    EXPECT_THROW(exception_dispatch(14), uint32_t);  // the exit call

    EXPECT_EQ(fake::syscalls, std::vector<uint32_t>{1});
    EXPECT_TRUE(switching_and_interrupts_on_at_call);
    // Printed at the cursor, nothing cleared (its lines and colours are
    // checked in the running system), and the application's colour comes back.
    EXPECT_EQ(screen::line(1), "KVAL>");
    EXPECT_EQ(screen::line(5), "ERROR : Page Fault");
    EXPECT_EQ(con_get_color(), COLOR_WHITE);
}

TEST_F(FatalTest, ApplicationPathStopsShouldTheExitCallComeBackAndPrintsTheLongestNameWhole)
{
    make_current(2, "NNNNNNNNNNNNN", PROCESS_APPLICATION);

    EXPECT_THROW(fatal_error("Overflow"), fake::Halted);

    EXPECT_EQ(fake::syscalls, std::vector<uint32_t>{1});
    EXPECT_FALSE(fake::interrupts_on);
    EXPECT_EQ(screen::line(2), "[KVALDBG] : KVAL detected an error in the application (NNNNNNNNNNNNN)");
}

// ---- the double-fault task ----

struct DoubleFault {
    const char* what;
    uint32_t type;
    uint32_t interrupted_esp;
    uint32_t cr2;
    const char* message;
};

// The application's stack is 0x90000000-0x90001FFF.
const DoubleFault DOUBLE_FAULTS[] = {
    {"the frame of a push below the stack", PROCESS_APPLICATION, 0x90000000, 0x8FFFFFFC, "Page Fault"},
    {"a large frame reserved far below it", PROCESS_APPLICATION, 0x8FFFD004, 0x8FFFCFF8, "Page Fault"},
    {"software INT 8, a stale CR2", PROCESS_APPLICATION, 0x90001F00, 0x8FFFFFFC, "Double Fault"},
    {"a fault address above the stack", PROCESS_APPLICATION, 0xA0000010, 0xA000000C, "Double Fault"},
    {"the shell's own stack", PROCESS_SYSTEM, 0x90000000, 0x8FFFFFFC, "Page Fault"},
};

class DoubleFaultTest : public FatalTest, public ::testing::WithParamInterface<DoubleFault> {};

// The processor's part: the interrupted ESP saved in the start-up task's
// segment (the word at 56 of the TSS slot 3 describes), the last fault's
// address in CR2, the timer's line still in service.
TEST_P(DoubleFaultTest, EndsOnlyAnApplicationOnAFreshStackOrShowsTheKernelReport)
{
    const DoubleFault& fault = GetParam();
    make_current(fault.type == PROCESS_APPLICATION ? 2 : 1, fault.type == PROCESS_APPLICATION ? "DEEP.KVX" : "KVALCLI",
                 fault.type);
    gdt_init();
    uint32_t gdt_base;
    std::memcpy(&gdt_base, &fake::gdtr[2], 4);
    const auto* slot3 = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(gdt_base + 24));
    const uint32_t tss = slot3[2] | slot3[3] << 8 | slot3[4] << 16 | static_cast<uint32_t>(slot3[7]) << 24;
    std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(tss + 56)), &fault.interrupted_esp, 4);
    fake::cr2 = fault.cr2;
    fake::queue_reads(0xA0, {0x00});
    fake::queue_reads(0x20, {0x01});
    fake::port_writes.clear();

    if (fault.type != PROCESS_APPLICATION) {
        EXPECT_THROW(double_fault_task(), fake::Halted);
        expect_kernel_report(fault.message);
        EXPECT_EQ(screen::line(17), "[KVAL] : The Name of the Process : KVALCLI");
        return;
    }
    const ProcessRecord* restarted = nullptr;
    try {
        double_fault_task();
    } catch (const fake::Resumed& resumed) {
        restarted = resumed.record;
    }
    ASSERT_NE(restarted, nullptr) << fault.what;
    EXPECT_EQ(fake::writes_to(0x20), (std::vector<uint32_t>{0x0B, 0x0A, 0x20})) << "one EOI for the timer";
    EXPECT_EQ(restarted->esp, PROCESS_STACK_ESP);
    EXPECT_EQ(restarted->eflags, 0x2u);
    EXPECT_EQ(restarted->eax | restarted->ebx | restarted->ecx | restarted->edx | restarted->esi | restarted->edi |
                  restarted->ebp,
              0u);
    EXPECT_EQ(fake::cr3, restarted->page_directory);
    EXPECT_EQ(fake::task_register, 0x18) << "re-armed before anything else";

    // Where it starts again, it is reported and ended the usual way.
    EXPECT_THROW(reinterpret_cast<void (*)()>(static_cast<uintptr_t>(restarted->eip))(), fake::Halted);
    EXPECT_EQ(screen::line(2), "[KVALDBG] : KVAL detected an error in the application (DEEP.KVX)");
    EXPECT_EQ(screen::line(4), std::string("ERROR : ") + fault.message) << fault.what;
    EXPECT_EQ(fake::syscalls, std::vector<uint32_t>{1});
}

INSTANTIATE_TEST_SUITE_P(Cases, DoubleFaultTest, ::testing::ValuesIn(DOUBLE_FAULTS));

}  // namespace
