; Loads a segment selector far past the end of the GDT: KVAL reports
; "General Protection Fault".
%include "kval.inc"

KVAL_HEADER start

start:
    mov ax, 0x0FF8
    mov ds, ax
    KVAL_CALL KVAL_EXIT
