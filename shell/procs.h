// The shell's process and graphics commands: loading, killing and listing
// applications, and showing a bitmap.
#pragma once

void cmd_ldapp();
void cmd_kill();
void cmd_procs();
void cmd_ldbmp();
