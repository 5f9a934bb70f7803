// The command shell. For now the process only keeps its slot in the
// rotation; the prompt and the command table come next.
#include "shell/shell.h"

#include "lib/cpu.h"

void shell_main()
{
    for (;;) {
        cpu_relax();
    }
}
