; Interrupt entry stubs. Every hardware interrupt handler has one shape:
; disable interrupts, push all general registers, clear the direction flag,
; do the work, (the work sends the end-of-interrupt where it serves a
; hardware line), pop the registers, enable interrupts and return from the
; interrupt. Compiled code takes the direction flag as clear (string
; instructions count upwards); the interrupted code may have set it, and the
; interrupt return gives it back as it was.

bits 32

; ProcessRecord offsets task_resume reads (proc/process.h asserts each).
REC_EAX     equ 23
REC_EBX     equ 27
REC_ECX     equ 31
REC_EDX     equ 35
REC_ESI     equ 39
REC_EDI     equ 43
REC_ESP     equ 59
REC_EBP     equ 63
REC_EIP     equ 67
REC_EFLAGS  equ 71

KERNEL_CODE equ 0x08
KERNEL_DATA equ 0x10
EFLAGS_IF   equ 0x200
EFLAGS_NT   equ 0x4000

extern sched_stack_top
extern pic_send_eoi
extern timer_tick
extern task_switch
extern kbd_irq_work
extern floppy_irq_work
extern exception_dispatch
extern double_fault_task
extern syscall_dispatch

section .text

; A handler that calls one C++ function with no argument.
%macro IRQ_STUB 2
global %1
%1:
    cli
    pushad
    cld
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
    cld
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
    cld
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
    cld
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
    mov esp, [sched_stack_top]
    cli
    push ebx
    call task_switch                ; resumes the chosen process; never returns
.hang:
    cli
    hlt
    jmp .hang

; Enters the process whose ProcessRecord is the argument. Its stack resumes
; at esp + 12, where the interrupted process's EIP, CS and EFLAGS were: a new
; interrupt-return frame goes there, with interrupts enabled. EBP is esp for
; a record that never ran (ebp 0). ESI, the record pointer, is loaded last.
global task_resume
task_resume:
    mov esi, [esp + 4]
    mov esp, [esi + REC_ESP]
    add esp, 12
    mov ax, KERNEL_DATA
    mov ds, ax
    mov es, ax
    mov fs, ax
    mov gs, ax
    mov eax, [esi + REC_EFLAGS]
    or eax, EFLAGS_IF
    push eax
    push dword KERNEL_CODE
    push dword [esi + REC_EIP]
    mov ebp, [esi + REC_EBP]
    test ebp, ebp
    jnz .frame_pointer_set
    mov ebp, [esi + REC_ESP]
.frame_pointer_set:
    mov eax, [esi + REC_EAX]
    mov ebx, [esi + REC_EBX]
    mov ecx, [esi + REC_ECX]
    mov edx, [esi + REC_EDX]
    mov edi, [esi + REC_EDI]
    mov esi, [esi + REC_ESI]
    iret

; Enters a loaded program at `entry` (first argument) with the flags of the
; second, interrupts enabled, and EDX = the third; the other general
; registers are 0 and EBP equals ESP once the interrupt return has popped
; its frame.
global app_enter
app_enter:
    mov ecx, [esp + 4]
    mov eax, [esp + 8]
    mov edx, [esp + 12]
    or eax, EFLAGS_IF
    mov bx, KERNEL_DATA
    mov ds, bx
    mov es, bx
    mov fs, bx
    mov gs, bx
    mov ebp, esp
    push eax
    push dword KERNEL_CODE
    push ecx
    xor eax, eax
    xor ebx, ebx
    xor ecx, ecx
    xor esi, esi
    xor edi, edi
    iret

; The system-call gate. PUSHAD's block is the caller's registers; the
; dispatch writes its results into the ECX and EDX words, and POPAD hands
; them back with every other register as the caller left it.
global syscall_entry
syscall_entry:
    pushad
    cld
    push esp
    call syscall_dispatch
    add esp, 4
    popad
    iret

IRQ_STUB kbd_irq, kbd_irq_work
IRQ_STUB floppy_irq_handler, floppy_irq_work

; Processor exceptions: disable interrupts and report. Any error code the
; processor pushed is left where it is: there is no way back.
%macro EXCEPTION_STUB 1
isr_exception_%1:
    cli
    cld
    push dword %1
    call exception_dispatch
.hang_%1:
    cli
    hlt
    jmp .hang_%1
%endmacro

; The vectors with a stub: 0-7, 9-14, 16-19 and 30.
%define HAS_STUB(v) ((v) < 20 && (v) != 8 && (v) != 15) || (v) == 30

%assign v 0
%rep 32
  %if HAS_STUB(v)
EXCEPTION_STUB v
  %endif
%assign v v+1
%endrep

; Vector 8's task gate starts the double-fault task here, on its own stack
; with interrupts off. The task switch set the nested-task flag; it goes at
; once, or an IRET would follow the back link into the task that faulted.
; Whether an error code was pushed (not for a software INT 8) does not
; matter: nothing returns.
global double_fault_entry
double_fault_entry:
    pushfd
    and dword [esp], ~EFLAGS_NT
    popfd
    cld
    call double_fault_task
.hang:
    cli
    hlt
    jmp .hang

section .rodata
global exception_stubs
exception_stubs:
%assign v 0
%rep 32
  %if HAS_STUB(v)
    dd isr_exception_ %+ v
  %else
    dd 0
  %endif
%assign v v+1
%endrep

; The kernel needs no executable stack.
section .note.GNU-stack noalloc noexec nowrite progbits
