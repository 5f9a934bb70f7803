; Raises one processor exception, chosen on the assembler's command line
; (nasm -DFAULT=vec04 ...), the way a program in ring 0 can: with the real
; instruction where there is one, with INT n where only the hardware raises
; it. KVAL ends the program with the vector's message and goes on.
;
;   vecNN    vector NN (00-14, 16-19 and 30)
;   mmx      an MMX instruction: the floating-point unit is off, so #UD
;   sse      an SSE instruction: #UD as well
;   stkedge  the stack pointer at the very bottom of the stack when the
;            timer interrupts: the interrupt's frame has nowhere to go
%include "kval.inc"

KVAL_HEADER start

%define STACK_BASE 0x90000000       ; the lowest byte of every program's stack

start:
%ifidn FAULT, vec00
    xor edx, edx
    mov eax, 1
    xor ecx, ecx
    div ecx
%elifidn FAULT, vec01
    pushfd
    or dword [esp], 0x100           ; TF: a debug trap after the next instruction
    popfd
    nop
%elifidn FAULT, vec03
    int3
%elifidn FAULT, vec04
    mov al, 0x7F
    add al, 1                       ; 127 + 1 overflows a signed byte: OF
    into
%elifidn FAULT, vec05
    mov eax, 10
    bound eax, [bounds]             ; 10 is outside 0..3
%elifidn FAULT, vec06
    ud2
%elifidn FAULT, vec07
    fld1
%elifidn FAULT, vec13
    mov ax, 0x0FF8                  ; far past the end of the six-slot GDT
    mov ds, ax
%elifidn FAULT, vec14
    mov eax, [0xA0000000]           ; nothing is mapped there
%elifidn FAULT, mmx
    pxor mm0, mm0
%elifidn FAULT, sse
    xorps xmm0, xmm0
%elifidn FAULT, stkedge
    mov esp, STACK_BASE
.wait:
    jmp .wait
%else
    ; Vectors only the hardware raises: 2, 8, 9, 10, 11, 12, 16, 17, 18,
    ; 19 and 30. The number is the two digits after "vec".
    %defstr FAULT_NAME FAULT
    %substr TENS FAULT_NAME 4
    %substr UNITS FAULT_NAME 5
    int (TENS - '0') * 10 + UNITS - '0'
%endif
    KVAL_CALL KVAL_EXIT             ; never reached

bounds: dd 0, 3
