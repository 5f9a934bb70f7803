// The system calls. The gate is an interrupt gate, so a call runs with
// interrupts off unless it turns them on itself: exit and the three that
// wait for the user (14, 15, 16) and the beep (17), which waits on the tick.
// The interrupt return gives the caller its flags back as they were.
#include "proc/syscall.h"

#include "cpu/idt.h"
#include "cpu/isr.h"
#include "display/console.h"
#include "display/printf.h"
#include "drivers/keyboard.h"
#include "drivers/speaker.h"
#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/status.h"
#include "proc/sysdata.h"
#include "shell/input.h"

namespace {

constexpr uint32_t PRINTF_VALUES = 3;

// The caller's strings and buffers are addresses in its own address space,
// which is the one loaded while it calls.
const char* text(uint32_t address)
{
    return virt_as<const char>(address);
}

[[noreturn]] void sys_exit(uint32_t caller)
{
    if (console_focus_is_shell() == 0 && console_focus_owner() == caller) {
        console_focus_set(1);
    }
    process_set_state(caller, PROCESS_KILL_REQUESTED);
    interrupts_enable();
    for (;;) {
        cpu_relax();  // until the system process ends this process
    }
}

// Calls 14-16: the caller must hold the console when it calls, and gets
// -24 as soon as it no longer does (CTRL+ENTER while it waits).
void sys_read_key(SyscallFrame* frame, uint32_t caller)
{
    interrupts_enable();
    const KeyCode key = console_focus_wait_key(nullptr);
    if (key == KEY_NONE || console_focus_held_by(caller) == 0) {
        frame->edx = static_cast<uint32_t>(STATUS_NO_FOCUS);
        return;
    }
    const char c = kbd_key_to_char(key);
    frame->ecx = c != 0 ? static_cast<uint8_t>(c) : key;
}

void sys_read_line(SyscallFrame* frame)
{
    interrupts_enable();
    const int32_t count = line_read(virt_as<char>(frame->ebx), static_cast<int32_t>(frame->ecx));
    if (count < 0) {
        frame->edx = static_cast<uint32_t>(STATUS_NO_FOCUS);
    } else {
        frame->ecx = static_cast<uint32_t>(count);
    }
}

void sys_yes_no(SyscallFrame* frame)
{
    interrupts_enable();
    const int32_t answer = prompt_yes_no_answer(text(frame->ebx));
    if (answer < 0) {
        frame->edx = static_cast<uint32_t>(STATUS_NO_FOCUS);
    } else {
        frame->ecx = static_cast<uint32_t>(answer);
    }
}

}  // namespace

void syscall_init()
{
    idt_set_gate(SYSCALL_VECTOR, syscall_entry, false);
}

void syscall_dispatch(SyscallFrame* frame)
{
    const uint32_t caller = process_current_pid();
    const char* name = text(frame->ebx);
    switch (frame->eax) {
        case SYS_EXIT:
            sys_exit(caller);
        case SYS_PRINT:
            con_puts(name);
            break;
        case SYS_TAKE_CONSOLE:
            if (console_focus_is_shell() != 0) {
                console_focus_set(0);
            } else {
                frame->edx = static_cast<uint32_t>(STATUS_NO_FOCUS);
            }
            break;
        case SYS_GIVE_CONSOLE:
            if (console_focus_held_by(caller) != 0 && caller != SHELL_PID) {
                console_focus_set(1);
            } else {
                frame->edx = static_cast<uint32_t>(STATUS_NO_FOCUS);
            }
            break;
        case SYS_SET_CURSOR:
            con_set_cursor(frame->ecx, frame->edx);
            break;
        case SYS_CURSOR_X:
            frame->ecx = con_get_x();
            break;
        case SYS_CURSOR_Y:
            frame->ecx = con_get_y();
            break;
        case SYS_SET_COLOR:
            con_set_color(static_cast<uint8_t>(frame->edx));
            break;
        case SYS_SET_BG_COLOR:
            con_set_bg_color(static_cast<uint8_t>(frame->edx));
            break;
        case SYS_COLOR:
            frame->ecx = con_get_color();
            break;
        case SYS_BG_COLOR:
            frame->ecx = con_get_bg_color();
            break;
        case SYS_PRINTF: {
            const uint32_t values[PRINTF_VALUES] = {frame->edx, frame->ecx, frame->edi};
            con_printf_values(name, values, PRINTF_VALUES);
            break;
        }
        case SYS_CLEAR:
            con_clear();
            break;
        case SYS_READ_KEY:
        case SYS_READ_LINE:
        case SYS_YES_NO:
            if (console_focus_held_by(caller) == 0 || caller == SHELL_PID) {
                frame->edx = static_cast<uint32_t>(STATUS_NO_FOCUS);
            } else if (frame->eax == SYS_READ_KEY) {
                sys_read_key(frame, caller);
            } else if (frame->eax == SYS_READ_LINE) {
                sys_read_line(frame);
            } else {
                sys_yes_no(frame);
            }
            break;
        case SYS_BEEP:
            interrupts_enable();
            speaker_beep();
            break;
        case SYS_PUTC:
            con_putc(static_cast<uint8_t>(frame->ebx));
            break;
        case SYS_DATA_ADD:
            frame->edx = static_cast<uint32_t>(sysdata_add(name, frame->ecx));
            break;
        case SYS_DATA_SET:
            frame->edx = static_cast<uint32_t>(sysdata_set(name, frame->ecx));
            break;
        case SYS_DATA_FIND:
            frame->edx = static_cast<uint32_t>(sysdata_find(name));
            break;
        case SYS_DATA_GET:
            frame->edx = sysdata_find(name) == STATUS_NAME_NOT_FOUND ? static_cast<uint32_t>(STATUS_NAME_NOT_FOUND)
                                                                     : sysdata_get(name);
            break;
        case SYS_DATA_REMOVE:
            frame->edx = static_cast<uint32_t>(sysdata_remove(name));
            break;
        case SYS_VERSION:
            frame->ecx = SYSCALL_VERSION_CODE;
            break;
        default:
            frame->edx = static_cast<uint32_t>(STATUS_UNKNOWN_CALL);
            break;
    }
}
