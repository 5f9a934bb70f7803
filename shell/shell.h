// The command shell: the process "KVALCLI" in slot 1, its prompt and its
// command table.
#pragma once

constexpr int SHELL_LINE_MAX = 100;

// The shell process's entry point; never returns.
[[noreturn]] void shell_main();
// Runs one command line: the whole line is the command word.
void shell_execute(const char* line);
void cmd_about();
void cmd_help();
void cmd_mem();
