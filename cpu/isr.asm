; Interrupt entry stubs. Every hardware interrupt handler has one shape:
; disable interrupts, push all general registers, do the work, (the work sends
; the end-of-interrupt where it serves a hardware line), pop the registers,
; enable interrupts and return from the interrupt.

bits 32

SCHED_STACK_TOP equ 0xCA001FE0     ; top of the scheduler stack (two pages at 0xCA000000)

extern pic_send_eoi
extern timer_tick
extern task_switch
extern kbd_irq_work
extern floppy_irq_work
extern exception_dispatch

section .text

; A handler that calls one C++ function with no argument.
%macro IRQ_STUB 2
global %1
%1:
    cli
    pushad
    call %2
    popad
    sti
    iret
%endmacro

global isr_ignore
isr_ignore:
    cli
    pushad
    popad
    sti
    iret

global isr_irq_master_default
isr_irq_master_default:
    cli
    pushad
    push dword 1                    ; end of interrupt to the master only
    call pic_send_eoi
    add esp, 4
    popad
    sti
    iret

global isr_irq_slave_default
isr_irq_slave_default:
    cli
    pushad
    push dword 9                    ; end of interrupt to the slave, then the master
    call pic_send_eoi
    add esp, 4
    popad
    sti
    iret

; The tick. The pushad block (EDI lowest .. EAX) directly below the
; processor's EIP, CS, EFLAGS is the TickFrame a task switch saves from.
global timer_irq
timer_irq:
    cli
    pushad
    mov eax, esp
    push eax
    call timer_tick
    add esp, 4
    test eax, eax
    jnz .switch
    popad
    sti
    iret
.switch:
    mov ebx, esp                    ; the TickFrame on the interrupted stack
    mov esp, SCHED_STACK_TOP
    cli
    push ebx
    call task_switch                ; resumes the chosen process; never returns
.hang:
    cli
    hlt
    jmp .hang

IRQ_STUB kbd_irq, kbd_irq_work
IRQ_STUB floppy_irq_handler, floppy_irq_work

; Processor exceptions: disable interrupts and report. Any error code the
; processor pushed is left where it is: there is no way back.
%macro EXCEPTION_STUB 1
isr_exception_%1:
    cli
    push dword %1
    call exception_dispatch
.hang_%1:
    cli
    hlt
    jmp .hang_%1
%endmacro

%assign v 0
%rep 20
EXCEPTION_STUB v
%assign v v+1
%endrep
EXCEPTION_STUB 30

section .rodata
global exception_stubs
exception_stubs:
%assign v 0
%rep 32
  %if v < 15 || (v >= 16 && v < 20) || v == 30
    dd isr_exception_ %+ v
  %else
    dd 0
  %endif
%assign v v+1
%endrep

; The kernel needs no executable stack.
section .note.GNU-stack noalloc noexec nowrite progbits
