; The kernel image's first bytes and its entry point.
;
; The image begins with a 16-byte header that the boot loader reads:
;   0  "KVALKRNL"   magic
;   8  entry        virtual address of kernel_entry
;   12 footprint    bytes from the image start to the end of zero-initialised
;                   data, so the loader can clear it and report the kernel's
;                   whole size (the frame bitmap is placed right after it)

bits 32

KERNEL_DATA_SELECTOR equ 0x10

extern kernel_main
extern kernel_run_initialisers
extern kernel_run_exit_handlers
extern __kernel_footprint

section .header
kernel_header:
    db "KVALKRNL"
    dd kernel_entry
    dd __kernel_footprint

section .text
global kernel_entry
; Entered with the BootInfo pointer at ESP+4; the loader's SS and ESP stay.
kernel_entry:
    cli
    mov ax, KERNEL_DATA_SELECTOR
    mov ds, ax
    mov es, ax
    mov fs, ax
    mov gs, ax
    mov ebx, [esp + 4]              ; BootInfo, kept across the initialiser calls
    call kernel_run_initialisers
    push ebx
    call kernel_main                ; never returns
    add esp, 4
    call kernel_run_exit_handlers
.halt:
    cli
    hlt
    jmp .halt

; The kernel needs no executable stack.
section .note.GNU-stack noalloc noexec nowrite progbits
