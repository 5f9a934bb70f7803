// Line input and yes/no prompts: everything interactive goes through these.
// Keys are taken under the console focus rule (proc/process.h): only while
// the calling process holds the console.
#pragma once

#include <stdint.h>

constexpr uint32_t KEY_BACKSPACE = 8;

// Reads keys until Enter into `buffer`, echoing them; stores at most
// `max_length` characters and never a terminating NUL (the caller zeroes the
// buffer). Returns the count; 0 at once for a negative maximum; -1 when an
// application loses the console while it waits (what it typed stays).
int32_t line_read(char* buffer, int32_t max_length);
// line_read for the shell's prompt: gives up with -1, the line dropped,
// once the console has come back to the shell since `focus_returns_seen`.
int32_t line_read_until_refocus(char* buffer, int32_t max_length, uint32_t focus_returns_seen);
// Asks `question`; true for Enter, false for Esc; any other key beeps.
bool prompt_yes_no(const char* question);
// A command's failure: a beep, then `message` in light red.
void shell_error(const char* message);
// Asks with `question` (in white) for up to `max_length` characters into a
// fresh zeroed buffer. Null, after saying why, when there is no buffer
// ("Not enough memory.") or the answer is empty (the cancel message). The
// caller frees what it gets.
char* shell_ask(const char* question, int32_t max_length);
// Waits for any key, in the shell's turn at the console.
void shell_wait_key();
// The same question for an application: 1 for yes, 0 for no, -1 when it
// loses the console while it waits.
int32_t prompt_yes_no_answer(const char* question);
