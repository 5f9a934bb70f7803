// Line input, yes/no prompts and the console-focus rule as the shell and an
// application meet them, and every command giving back its buffers and the
// floppy motor.
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "display/console.h"
#include "drivers/floppy.h"
#include "drivers/keyboard.h"
#include "fakes/fake_floppy.h"
#include "fakes/hw_test.h"
#include "fakes/processes.h"
#include "fakes/screen.h"
#include "fs/fat12.h"
#include "mm/heap.h"
#include "proc/exe.h"
#include "proc/process.h"
#include "shell/input.h"
#include "shell/procs.h"
#include "shell/shell.h"

namespace {

constexpr uint8_t ENTER = 0x1C, ESC = 0x01, BACKSPACE = 0x0E, INSERT = 0x52, UP = 0x48, CTRL = 0x1D;
constexpr uint8_t RELEASE = 0x80;

uint8_t scan_code(char c)
{
    const char* rows[] = {"1234567890", "qwertyuiop", "asdfghjkl", "zxcvbnm"};
    const uint8_t starts[] = {0x02, 0x10, 0x1E, 0x2C};
    for (int r = 0; r < 4; ++r) {
        if (const char* at = std::strchr(rows[r], c)) {
            return static_cast<uint8_t>(starts[r] + (at - rows[r]));
        }
    }
    return c == '.' ? 0x34 : c == '\\' ? 0x2B : 0x39;  // and ' '
}

// LIST holds 20 files, "." and "..": 22 rows in two clusters.
const std::vector<uint8_t>& disk()
{
    static const std::vector<uint8_t> image = [] {
        std::vector<fake::floppy::ImageEntry> entries = {{"ONE.TXT", std::string(300, 'a')},
                                                         {"THREE.TXT", std::string(1300, 'b')},
                                                         {"APP.KVX", std::string("KVALME1 A \xE9\x05\0\0\0", 15)},
                                                         {"LIST/", ""}};
        for (int i = 10; i < 30; ++i) {
            entries.push_back({"LIST/F" + std::to_string(i), ""});
        }
        return fake::floppy::make_image(entries);
    }();
    return image;
}

class ShellTest : public HardwareTest {
protected:
    std::deque<uint8_t> keys;  // scan codes, delivered one at a time when the slot is empty

    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::floppy::start_with_disk(disk());
        fake::stack_pointer = 0xC0101000;
        ASSERT_TRUE(mt_init());
        ASSERT_EQ(process_add(fake::processes::record("KVALCLI", PROCESS_SYSTEM)), 0);
        ASSERT_EQ(process_add(fake::processes::record("APP")), 0);
        fake::processes::run(1);
        console_init();
        fake::set_default_read(0x64, 0x00);
        kbd_shutdown();  // no key, modifier or note left by an earlier test
        kbd_clear_key();
        fake::relax_limit = 200000;
        // Chained after the floppy fake's own turn, which ticks and delivers IRQ 6.
        fake::on_relax = [this, floppy_turn = fake::on_relax] {
            floppy_turn();
            if (kbd_peek_key() == KEY_NONE && !keys.empty()) {
                deliver(keys.front());
                keys.pop_front();
            }
        };
    }
    void TearDown() override
    {
        kbd_shutdown();
        kbd_clear_key();
        fake::processes::shut_down();
    }

    static void deliver(uint8_t code)
    {
        fake::queue_reads(0x64, {0x01});
        fake::queue_reads(0x60, {code});
        kbd_irq_work();
    }
    void type(const std::string& text, bool enter = true)
    {
        for (const char c : text) {
            keys.push_back(scan_code(c));
        }
        if (enter) {
            keys.push_back(ENTER);
        }
    }
    static size_t beeps() { return fake::writes_to(0x42).size() / 2; }  // two divisor bytes a beep
};

TEST_F(ShellTest, LineReadEditsEchoesAndBeepsOnlyOnAFullLine)
{
    char buffer[102] = {};
    keys = {scan_code('a'), scan_code('b'), scan_code('c'), BACKSPACE, INSERT, scan_code('d'), ESC, UP, ENTER};
    EXPECT_EQ(line_read(buffer, 100), 4);
    EXPECT_EQ(std::string(buffer, 4), std::string("ab\0d", 4)) << "Insert is stored as a NUL";
    EXPECT_EQ(screen::line(0), "abd");
    EXPECT_EQ(beeps(), 0u) << "Esc and arrows are ignored in silence";

    std::memset(buffer, 0, sizeof buffer);
    keys = {BACKSPACE, scan_code('x'), ESC, ENTER};
    EXPECT_EQ(line_read(buffer, 0), 0);
    EXPECT_EQ(beeps(), 2u) << "a full line beeps at every key but Enter and Backspace";
    EXPECT_EQ(line_read(buffer, -1), 0) << "reads nothing";

    type(std::string(101, 'z'));
    EXPECT_EQ(line_read(buffer, 100), 100);
    EXPECT_EQ(beeps(), 3u);

    keys = {scan_code('y'), ENTER};
    EXPECT_TRUE(prompt_yes_no("Sure ?"));
    EXPECT_EQ(beeps(), 4u);
    keys = {ESC};
    EXPECT_FALSE(prompt_yes_no("Sure ?"));
}

TEST_F(ShellTest, KeysWaitInTheSlotForTheProcessThatHoldsTheConsole)
{
    fake::processes::run(2);
    console_focus_set(0);  // the application takes the console
    fake::processes::run(1);
    deliver(scan_code('q'));
    const uint32_t returns = console_focus_returns();
    int turns = 0;
    fake::on_relax = [&] {
        timer_tick(0);
        EXPECT_EQ(kbd_peek_key(), KeyCode{'q'}) << "the shell leaves the application's key alone";
        if (++turns == 20) {
            deliver(CTRL);
            deliver(ENTER);
            deliver(CTRL | RELEASE);  // released before the system process looks
            process_reap_marked();
            if (kbd_take_ctrl_enter() != 0) {
                console_focus_set(1);
            }
        }
    };
    char line[8] = {};
    fake::interrupts_on = true;
    EXPECT_EQ(line_read_until_refocus(line, 7, returns), -1) << "the line is dropped when the console comes back";
    EXPECT_EQ(fake::halts, 20) << "it halts between keys";
    EXPECT_EQ(console_focus_is_shell(), 1);
    EXPECT_EQ(kbd_peek_key(), KEY_ENTER) << "the Enter stays for the shell";
}

// Its two waits on other processes halt through its turns: for the console
// while an application holds it, and for a start to report.
TEST_F(ShellTest, TheShellHaltsWhileTheConsoleIsAwayAndWhileAStartIsPending)
{
    const std::function<void()> fixture_turn = fake::on_relax;
    fake::processes::run(2);
    console_focus_set(0);
    fake::processes::run(1);
    fake::interrupts_on = true;
    int turns = 0;
    fake::on_relax = [&] {
        timer_tick(0);
        if (++turns == 5) {
            throw turns;
        }
    };
    EXPECT_THROW(shell_main(), int);
    EXPECT_EQ(fake::halts, 5);
    EXPECT_EQ(screen::line(0), "") << "no prompt while the console is away";

    console_focus_set(1);
    exe_load_status_reset();  // no start reported yet
    type("app.kvx");
    int polls = 0;
    int halts_before = 0;
    fake::on_relax = [&] {
        fixture_turn();
        if (process_is_active(3) == 0) {
            return;  // still asking for the path and looking it up
        }
        if (polls++ == 0) {
            halts_before = fake::halts;
        } else if (polls == 5) {
            throw polls;
        }
    };
    EXPECT_THROW(cmd_ldapp(), int);
    EXPECT_EQ(fake::halts - halts_before, 4);
}

TEST_F(ShellTest, AnApplicationNeverSeesTheCtrlOfCtrlEnter)
{
    fake::processes::run(2);
    console_focus_set(0);
    keys = {CTRL, CTRL | RELEASE, scan_code('q')};
    EXPECT_EQ(console_focus_wait_key(nullptr), KeyCode{'q'});
    fake::processes::run(1);
    console_focus_set(1);
    keys = {CTRL};
    EXPECT_EQ(console_focus_wait_key(nullptr), KEY_CTRL) << "the shell's keys are as they come";
}

TEST_F(ShellTest, EveryCommandGivesBackItsBuffersAndStopsTheMotor)
{
    const std::vector<std::pair<std::string, std::string>> runs = {
        {"rdsec", "0\n "},
        {"rdsec", "999\n"},
        {"rdsecascii", "1\n "},
        {"rdsec", "\n"},
        {"rdfile", "one.txt\n "},
        {"rdfile", "three.txt\n \x1b"},
        {"rdfile", "docs\n"},
        {"rdfile", "\n"},
        {"dir", "docs\n"},
        {"upflpy", "\x1b"},
        {"ldapp", "x.kvx\n"},
        {"kill", "7\n"},
        {"ldbmp", "one.txt\n"},
        {"procs", ""},
        {"mem", ""},
        {"help", ""},
    };
    for (const auto& [command, answer] : runs) {
        const uint32_t heap_bytes = heap_control_block()->used_bytes;
        for (const char c : answer) {
            keys.push_back(c == '\n' ? ENTER : c == '\x1b' ? ESC : scan_code(c));
        }
        shell_execute(command.c_str());
        EXPECT_EQ(heap_control_block()->used_bytes, heap_bytes) << command << " " << answer;
        EXPECT_FALSE(floppy_motor_is_on()) << command;
        EXPECT_TRUE(keys.empty()) << command << " took " << keys.size() << " keys too few";
        keys.clear();
    }
}

// A chain that comes back to a cluster ends there as a chain into a bad
// cluster does, after each cluster before it was shown once: the keys are
// those of the clusters shown (a pause and a question for each of the file's,
// a pause every ten rows of the listing), and none is left over or missing.
TEST_F(ShellTest, AChainThatComesRoundAgainEndsLikeABrokenOne)
{
    const auto chain = [](std::string path) {
        const uint16_t first = fat_open(path.data()).first_cluster;
        const auto second = static_cast<uint16_t>(fat_next_cluster(first));
        return std::vector<uint16_t>{first, second, static_cast<uint16_t>(fat_next_cluster(second))};
    };
    const std::vector<uint16_t> three = chain("three.txt"), list = chain("list");
    const struct {
        const char *command, *path;
        uint16_t cluster, next;
        const char *answers, *message;
    } cases[] = {
        {"rdfile", "three.txt", three[0], three[0], " y\n", "Invalid Cluster"},
        {"rdfile", "three.txt", three[2], three[0], " y\n y\n y\n", "Invalid Cluster"},
        {"rdfile", "three.txt", three[1], 0xFF7, " y\n", "Invalid Cluster"},
        {"dir", "list", list[0], list[0], " ", "Error While Reading."},
        {"dir", "list", list[1], list[0], "  ", "Error While Reading."},
        {"dir", "list", list[0], 0xFF7, "", "Error While Reading."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.command << " " << c.cluster << " -> " << c.next);
        std::vector<uint8_t> image = disk();
        fake::floppy::set_fat_entry(image, c.cluster, c.next);
        fake::floppy::controller().image = image;
        ASSERT_TRUE(floppy_refresh());
        const uint32_t heap_bytes = heap_control_block()->used_bytes;
        con_clear();
        type(c.path);
        for (const char* a = c.answers; *a != 0; ++a) {
            keys.push_back(*a == '\n' ? ENTER : scan_code(*a));
        }
        shell_execute(c.command);
        EXPECT_TRUE(keys.empty()) << keys.size() << " keys left";
        EXPECT_EQ(screen::line(con_get_y()), c.message);
        EXPECT_EQ(heap_control_block()->used_bytes, heap_bytes);
        EXPECT_FALSE(floppy_motor_is_on());
        keys.clear();
    }
}

}  // namespace
