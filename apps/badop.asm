; Runs an instruction that is defined to be invalid: KVAL reports "Invalid Opcode".
%include "kval.inc"

KVAL_HEADER start

start:
    ud2
    KVAL_CALL KVAL_EXIT
