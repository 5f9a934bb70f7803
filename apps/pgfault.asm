; Reads memory that nothing maps: KVAL reports "Page Fault".
%include "kval.inc"

KVAL_HEADER start

start:
    mov eax, [0xA0000000]           ; past the stack at 0x90000000, below the kernel: unmapped
    KVAL_CALL KVAL_EXIT
