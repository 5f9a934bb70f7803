// Static initialisers and exit handlers, run by kernel_entry. The system
// registers none of either; the tables exist so that the language's start-up
// contract holds for any code that does.
#include "boot/entry.h"

using Initialiser = void (*)();

extern "C" Initialiser __init_array_start[];  // NOLINT(bugprone-reserved-identifier)
extern "C" Initialiser __init_array_end[];    // NOLINT(bugprone-reserved-identifier)

namespace {
constexpr int MAX_EXIT_HANDLERS = 8;
ExitHandler exit_handlers[MAX_EXIT_HANDLERS];
int exit_handler_count = 0;
}  // namespace

void kernel_run_initialisers()
{
    for (Initialiser* entry = __init_array_start; entry != __init_array_end; ++entry) {
        if (*entry != nullptr) {
            (*entry)();
        }
    }
}

bool kernel_register_exit_handler(ExitHandler handler)
{
    if (exit_handler_count == MAX_EXIT_HANDLERS) {
        return false;
    }
    exit_handlers[exit_handler_count++] = handler;
    return true;
}

void kernel_run_exit_handlers()
{
    while (exit_handler_count > 0) {
        exit_handlers[--exit_handler_count]();
    }
}
