// Line input with echo, and the Enter/Esc question.
#include "shell/input.h"

#include "display/console.h"
#include "drivers/keyboard.h"
#include "drivers/speaker.h"
#include "lib/string.h"
#include "mm/heap.h"
#include "proc/process.h"

namespace {

constexpr uint32_t FIRST_SPECIAL_KEY = 128;  // below: a character key

int32_t line_edit(char* buffer, int32_t max_length, const uint32_t* focus_returns_seen)
{
    if (max_length < 0) {
        return 0;
    }
    int32_t count = 0;
    for (;;) {
        const KeyCode key = console_focus_wait_key(focus_returns_seen);
        if (key == KEY_NONE) {
            return -1;  // the console came back to the shell: the line is dropped
        }
        if (key == KEY_ENTER) {
            return count;
        }
        if (key == KEY_BACKSPACE) {
            if (count > 0) {
                buffer[--count] = 0;
                con_putc(KEY_BACKSPACE);
            }
        } else if (count == max_length) {
            speaker_beep();
        } else if (key < FIRST_SPECIAL_KEY) {
            const char c = kbd_key_to_char(key);
            buffer[count++] = c;
            con_putc(static_cast<uint8_t>(c));
        }
    }
}

}  // namespace

int32_t line_read(char* buffer, int32_t max_length)
{
    return line_edit(buffer, max_length, nullptr);
}

int32_t line_read_until_refocus(char* buffer, int32_t max_length, uint32_t focus_returns_seen)
{
    return line_edit(buffer, max_length, &focus_returns_seen);
}

int32_t prompt_yes_no_answer(const char* question)
{
    con_putc('\n');
    con_puts(question);
    con_puts("\nPress \"Enter\" for yes or \"ESC\" for no.");
    for (;;) {
        const KeyCode key = console_focus_wait_key(nullptr);
        if (key == KEY_NONE) {
            return -1;
        }
        if (key == KEY_ENTER) {
            return 1;
        }
        if (key == KEY_ESC) {
            return 0;
        }
        speaker_beep();
    }
}

// The shell never loses the console to a wait: it waits for it.
bool prompt_yes_no(const char* question)
{
    return prompt_yes_no_answer(question) == 1;
}

void shell_error(const char* message)
{
    con_set_color(COLOR_LIGHT_RED);
    speaker_beep();
    con_puts(message);
}

char* shell_ask(const char* question, int32_t max_length)
{
    const uint32_t bytes = static_cast<uint32_t>(max_length) + 1;
    auto* buffer = static_cast<char*>(heap_alloc(bytes));
    if (buffer == nullptr) {
        shell_error("\nNot enough memory.");
        return nullptr;
    }
    con_set_color(COLOR_WHITE);
    con_puts(question);
    mem_set(buffer, 0, bytes);
    line_read(buffer, max_length);
    if (buffer[0] == 0) {
        heap_free(buffer);
        con_set_color(COLOR_LIGHT_CYAN);
        con_puts("\nThe action canceled by the user.");
        return nullptr;
    }
    return buffer;
}

void shell_wait_key()
{
    console_focus_wait_key(nullptr);
}
