; The smallest KVAL application in NASM: one line, then the exit call.
%include "kval.inc"

KVAL_HEADER start

start:
    KVAL_CALL KVAL_COLOR            ; ECX = the colour in use
    push ecx
    mov edx, 11                     ; light cyan
    KVAL_CALL KVAL_SET_COLOR
    mov ebx, greeting
    KVAL_CALL KVAL_PRINT
    pop edx
    KVAL_CALL KVAL_SET_COLOR
    KVAL_CALL KVAL_EXIT

greeting: db 10, "Hello from KVAL, in assembly!", 0
