// The system calls as an application makes them, and the system data table.
#include <cstdint>
#include <cstring>
#include <string>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "display/console.h"
#include "fakes/hw_test.h"
#include "fakes/processes.h"
#include "fakes/screen.h"
#include "lib/status.h"
#include "proc/syscall.h"
#include "proc/sysdata.h"

namespace {

constexpr uint32_t UNTOUCHED = 0xA5A5A5A5;

class SyscallTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::processes::boot();
        console_init();
        ASSERT_TRUE(sysdata_init());
        ASSERT_EQ(process_add(fake::processes::record("SHELL", PROCESS_SYSTEM)), 0);
        ASSERT_EQ(process_add(fake::processes::record("APP")), 0);
        ASSERT_EQ(process_add(fake::processes::record("OTHER")), 0);
        fake::processes::run(2);
        fake::set_default_read(0x64, 0x00);
    }
    void TearDown() override { fake::processes::shut_down(); }

    // One call from the current process; returns the frame as the gate hands it back.
    static SyscallFrame call(uint32_t number, uint32_t ebx = 0, uint32_t ecx = UNTOUCHED, uint32_t edx = UNTOUCHED,
                             uint32_t edi = 0)
    {
        SyscallFrame frame{};
        frame.eax = number;
        frame.ebx = ebx;
        frame.ecx = ecx;
        frame.edx = edx;
        frame.edi = edi;
        syscall_dispatch(&frame);
        return frame;
    }
    // A string where the caller's address space has it: here in the low
    // memory every directory maps one-to-one.
    static uint32_t text(const char* s)
    {
        static uint32_t next = 0x70000;
        const uint32_t at = next;
        std::strcpy(reinterpret_cast<char*>(fake::phys(at)), s);
        next = at + 64 < 0x80000 ? at + 64 : 0x70000;
        return at;
    }
    static int32_t status(const SyscallFrame& f) { return static_cast<int32_t>(f.edx); }
    static void press(uint8_t scan_code)
    {
        fake::queue_reads(0x64, {0x01});
        fake::queue_reads(0x60, {scan_code});
        kbd_irq_work();
    }
};

TEST_F(SyscallTest, UnknownNumbersVersionAndOutput)
{
    for (const uint32_t number : {0u, 25u, 0xFFFFFFFFu}) {
        EXPECT_EQ(status(call(number)), STATUS_UNKNOWN_CALL) << number;
    }
    EXPECT_EQ(call(SYS_VERSION).ecx, 0x0703u);
    call(SYS_SET_COLOR, 0, 0, COLOR_LIGHT_RED);
    call(SYS_PRINTF, text("%i-%x-%i"), 0x2A, 7, 3);
    call(SYS_PUTC, '!');
    EXPECT_EQ(screen::line(0), "7-2A-3!") << "EDX, ECX, EDI are the first, second and third values";
    EXPECT_EQ(screen::attr_at(0, 0), 0x1C);
    EXPECT_EQ(call(SYS_CURSOR_X).ecx, 7u);
    EXPECT_EQ(call(SYS_COLOR).ecx, uint32_t{COLOR_LIGHT_RED});
}

TEST_F(SyscallTest, TheConsoleIsTakenOnceGivenBackByItsOwnerAndNeededForInput)
{
    EXPECT_EQ(status(call(SYS_READ_KEY)), STATUS_NO_FOCUS) << "without the console: at once";
    EXPECT_EQ(status(call(SYS_GIVE_CONSOLE)), STATUS_NO_FOCUS);
    EXPECT_EQ(call(SYS_TAKE_CONSOLE).edx, UNTOUCHED);
    EXPECT_EQ(status(call(SYS_TAKE_CONSOLE)), STATUS_NO_FOCUS) << "held already";
    fake::processes::run(3);
    EXPECT_EQ(status(call(SYS_GIVE_CONSOLE)), STATUS_NO_FOCUS) << "not the owner";
    EXPECT_EQ(status(call(SYS_YES_NO, text("?"))), STATUS_NO_FOCUS);
    fake::processes::run(2);

    press(0x1E);  // 'a'
    EXPECT_EQ(call(SYS_READ_KEY).ecx, uint32_t{'a'});
    press(0x1C);  // Enter comes back as its key code
    EXPECT_EQ(call(SYS_READ_KEY).ecx, 0x0E0Cu);

    // CTRL+ENTER while the owner waits: the wait ends with -24, and the
    // Enter is left for the shell.
    int turns = 0;
    fake::on_relax = [&] {
        if (++turns == 3) {
            press(0x1D);
            press(0x1C);
            process_reap_marked();
            if (kbd_take_ctrl_enter() != 0) {  // the system process's turn
                console_focus_set(1);
            }
        }
    };
    EXPECT_EQ(status(call(SYS_READ_LINE, text(""), 7)), STATUS_NO_FOCUS);
    EXPECT_EQ(kbd_peek_key(), 0x0E0Cu);
    EXPECT_EQ(status(call(SYS_READ_KEY)), STATUS_NO_FOCUS);
    kbd_shutdown();
}

TEST_F(SyscallTest, SystemDataKeepsFiveCharactersFillsFromTheTopAndRefusesDuplicates)
{
    const auto add = [](const char* name, uint32_t value) { return status(call(SYS_DATA_ADD, text(name), value)); };
    EXPECT_EQ(add("counter", 1), STATUS_OK);
    EXPECT_EQ(add("counter", 2), STATUS_OK) << "\"count\" is stored, so the full name is new again";
    EXPECT_EQ(call(SYS_DATA_GET, text("count")).edx, 2u) << "the second landed below the first";
    EXPECT_EQ(status(call(SYS_DATA_FIND, text("counter"))), STATUS_NAME_NOT_FOUND);
    EXPECT_EQ(status(call(SYS_DATA_GET, text("nope"))), STATUS_NAME_NOT_FOUND);
    EXPECT_EQ(add("", 1), STATUS_NAME_PRESENT) << "free entries hold the empty name";
    EXPECT_EQ(add("x", 5), STATUS_OK);
    EXPECT_EQ(add("x", 6), STATUS_NAME_PRESENT);
    EXPECT_EQ(status(call(SYS_DATA_SET, text("x"), 9)), STATUS_OK);
    EXPECT_EQ(call(SYS_DATA_GET, text("x")).edx, 9u);
    EXPECT_EQ(status(call(SYS_DATA_REMOVE, text("x"))), STATUS_OK);
    EXPECT_EQ(status(call(SYS_DATA_REMOVE, text("x"))), STATUS_NAME_NOT_FOUND);
    EXPECT_EQ(add("x", 6), STATUS_OK);
    for (int i = 3; i < 40; ++i) {
        EXPECT_EQ(add(std::to_string(i).c_str(), 0), STATUS_OK) << i;
    }
    EXPECT_EQ(add("full", 0), STATUS_NO_FREE_SLOT);
}

TEST_F(SyscallTest, ExitGivesTheConsoleBackAndMarksTheCaller)
{
    call(SYS_TAKE_CONSOLE);
    fake::relax_limit = 10;
    EXPECT_THROW(call(SYS_EXIT), std::runtime_error);  // it waits to be ended
    EXPECT_EQ(console_focus_is_shell(), 1);
    ProcessRecord self;
    EXPECT_EQ(process_get_record(&self, 2)->state, PROCESS_KILL_REQUESTED);
    EXPECT_TRUE(fake::interrupts_on);
}

}  // namespace
