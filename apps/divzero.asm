; Divides by zero: KVAL reports "Division By Zero" and ends only this program.
%include "kval.inc"

KVAL_HEADER start

start:
    xor edx, edx
    mov eax, 1
    xor ecx, ecx
    div ecx
    KVAL_CALL KVAL_EXIT             ; never reached
