; The first 15 bytes of every C++ application: the magic, the format's two
; version fields and a near jump to kval_start. The loader enters at byte 10,
; the jump; app.ld puts kval_start right behind this header, so the jump's
; 32-bit displacement is 0 and its upper three bytes are the zeros the
; loader insists on.
bits 32
section .kvx_header progbits alloc exec
extern kval_start
    db "KVALME"
    db "1 "
    db "A "
    db 0xE9                         ; jmp rel32
    dd kval_start - ($ + 4)

; No executable stack is asked for.
section .note.GNU-stack noalloc noexec nowrite progbits
