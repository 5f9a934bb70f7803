// The command shell, the process "KVALCLI" in slot 1.
#pragma once

// The shell process's entry point; never returns.
[[noreturn]] void shell_main();
