// line_read, the yes/no question and shell_ask with fuzzed key sequences,
// run as the shell (which holds the console) against the real keyboard
// driver: the input's bytes after the first are scan codes, delivered one
// at a time whenever the key slot is empty, then Enter for as long as it
// is waited for. The first byte picks the maximum length (-2 to 61) and, in its
// top bits, what reads: line_read (0, 1), prompt_yes_no_answer (2) or
// shell_ask (3).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "display/console.h"
#include "drivers/keyboard.h"
#include "mm/heap.h"
#include "shell/input.h"
#include "support/harness.h"
#include "support/host_heap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool booted = (fuzz::boot(true), true);
    (void)booted;
    if (size == 0) {
        return -1;
    }
    fuzz::turn();
    kbd_shutdown();  // no modifier or lock left by the last input
    kbd_take_ctrl_enter();
    const int32_t max_length = static_cast<int32_t>(data[0] & 0x3F) - 2;
    const uint32_t mode = data[0] >> 6;
    fuzz::keys(data + 1, size - 1, true);
    const uint32_t heap_before = fuzz::heap::blocks_in_use();
    con_set_cursor(0, 0);

    // Exactly max_length bytes: line_read stores no NUL and never more.
    const size_t bytes = max_length > 0 ? static_cast<size_t>(max_length) : 1;
    char* buffer = new char[bytes]();
    try {
        if (mode <= 1) {
            const int32_t count = line_read(buffer, max_length);
            fuzz::check(count >= 0 && count <= (max_length > 0 ? max_length : 0), "line_read counted wrong");
        } else if (mode == 2) {
            const int32_t answer = prompt_yes_no_answer("Go on?");
            fuzz::check(answer == 0 || answer == 1, "a yes/no answer that is neither");
        } else {
            char* answer = shell_ask("\nPath > ", max_length);
            heap_free(answer);
        }
    } catch (const fuzz::OutOfKeys&) {
        fuzz::fail("the endless Enter ran out");
    }
    delete[] buffer;
    fuzz::check_no_leak(heap_before, "line input kept a heap block");
    fuzz::check(con_get_x() <= CONSOLE_COLUMNS && con_get_y() <= CONSOLE_ROWS, "the cursor left the screen");
    return 0;
}
