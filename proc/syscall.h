// The system-call gate: software interrupt 60. The call number is in EAX,
// arguments in EBX, ECX, EDX and EDI; results come back in ECX (values) or
// EDX (status codes). EBX, ESI, EDI, EBP and ESP are never changed.
#pragma once

#include <stdint.h>

#include "proc/process.h"

constexpr int32_t SYSCALL_VECTOR = 60;
constexpr uint32_t SYSCALL_VERSION_CODE = 0x0703;

enum SyscallNumber : uint32_t {
    SYS_EXIT = 1,
    SYS_PRINT = 2,
    SYS_TAKE_CONSOLE = 3,
    SYS_GIVE_CONSOLE = 4,
    SYS_SET_CURSOR = 5,
    SYS_CURSOR_X = 6,
    SYS_CURSOR_Y = 7,
    SYS_SET_COLOR = 8,
    SYS_SET_BG_COLOR = 9,
    SYS_COLOR = 10,
    SYS_BG_COLOR = 11,
    SYS_PRINTF = 12,
    SYS_CLEAR = 13,
    SYS_READ_KEY = 14,
    SYS_READ_LINE = 15,
    SYS_YES_NO = 16,
    SYS_BEEP = 17,
    SYS_PUTC = 18,
    SYS_DATA_ADD = 19,
    SYS_DATA_SET = 20,
    SYS_DATA_FIND = 21,
    SYS_DATA_GET = 22,
    SYS_DATA_REMOVE = 23,
    SYS_VERSION = 24,
};

// The caller's registers as the gate's stub pushed them (PUSHAD, then the
// processor's EIP, CS and EFLAGS): the same layout as the tick's frame.
using SyscallFrame = TickFrame;

void syscall_init();
// Serves the call in frame->eax; writes its result into the frame's ECX or
// EDX, which the stub's POPAD hands back to the caller.
extern "C" void syscall_dispatch(SyscallFrame* frame);
