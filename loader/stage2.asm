; Stage 2 of the boot loader: LOADER.BIN, loaded by the boot sector to
; STAGE2_ADDR and entered in real mode with the boot drive in DL.
;
; In order it:
;   1. opens the A20 gate;
;   2. takes the firmware memory map (E820, else E801) to MEMORY_MAP_ADDR and
;      works out the installed RAM;
;   3. reads KERNEL.BIN along its FAT chain, checks its header and copies it
;      to KERNEL_PHYS chunk by chunk (BIOS reads only reach the first MiB);
;   4. switches to protected mode with a flat GDT, clears the kernel's
;      zero-initialised data, maps the first 4 MiB one-to-one and the kernel
;      image at KERNEL_VIRT, turns paging on, fills in BootInfo;
;   5. calls kernel_entry with the BootInfo pointer as its stack argument.
; Every failure before protected mode is reported with BIOS teletype and
; halts; nothing after it can fail.

%include "layout.inc"
%include "fat12.inc"

PORT_FLOPPY_DOR     equ 0x3F2           ; digital output register of the FDC
FLOPPY_DOR_IDLE     equ 0x0C            ; controller on, DMA/IRQ on, motors off
FIRST_HARD_DISK     equ 0x80            ; BIOS drive numbers below are floppies

bits 16
org STAGE2_ADDR

stage2_start:
    REAL_MODE_SEGMENTS
    mov [boot_drive], dl

    call install_gdt
    call enable_a20
    call read_memory_map
    call compute_memory_kb
    call load_kernel
    call floppy_motor_off

    cli
    o32 lgdt [gdtr_kernel]              ; from here on the kernel's view
    mov eax, cr0
    or eax, CR0_PE
    mov cr0, eax
    jmp dword CODE_SELECTOR:protected_entry

; --- real-mode steps ---------------------------------------------------------

; install_gdt: copies the descriptor table to GDT_ADDR, where it survives the
; kernel's start-up (it stays in use until the kernel loads its own).
install_gdt:
    push es
    push GDT_ADDR >> PARAGRAPH_SHIFT
    pop es
    xor di, di
    mov si, gdt_template
    mov cx, gdt_template_end - gdt_template
    rep movsb
    pop es
    ret

; load_kernel: KERNEL.BIN to KERNEL_PHYS. Contiguous clusters are read as one
; run (up to a buffer's worth), so a kernel stored in one piece costs one BIOS
; call per track rather than one per sector.
load_kernel:
    mov ax, ROOT_DIR_LBA
    mov cx, ROOT_DIR_SECTORS
    push ROOT_DIR_BUFFER >> PARAGRAPH_SHIFT
    pop es
    call read_sectors
    mov ax, FAT_LBA
    mov cx, SECTORS_PER_FAT
    push FAT_BUFFER >> PARAGRAPH_SHIFT
    pop es
    call read_sectors

    mov si, kernel_name
    call find_root_entry
    jc kernel_missing
    mov eax, [bx + DIR_FILE_SIZE]
    cmp eax, KH_SIZE
    jb bad_kernel
    cmp eax, KERNEL_MAX_SIZE
    ja kernel_too_large
    mov [kernel_file_size], eax
    add eax, SECTOR_SIZE - 1
    shr eax, SECTOR_SHIFT
    mov [sectors_left], ax
    mov ax, [bx + DIR_FIRST_CLUSTER]
    mov [next_cluster], ax
    mov dword [copy_target], KERNEL_PHYS

.next_run:
    mov ax, [next_cluster]
    cmp ax, FIRST_CLUSTER               ; the chain ended, or holds a free,
    jb kernel_damaged                   ; reserved or bad cluster, before the
    cmp ax, CLUSTER_RESERVED            ; file size is reached
    jae kernel_damaged
    mov [run_start], ax
    xor cx, cx
.grow_run:
    inc cx                              ; cluster AX belongs to the run
    mov dx, ax
    call fat_next_cluster               ; AX = the cluster after it
    cmp cx, [sectors_left]
    jae .run_complete
    cmp cx, DISK_BUFFER_SECTORS
    jae .run_complete
    inc dx
    cmp ax, dx
    je .grow_run
.run_complete:
    mov [next_cluster], ax
    mov [run_length], cx

    mov ax, [run_start]
    add ax, DATA_LBA - FIRST_CLUSTER
    push DISK_BUFFER >> PARAGRAPH_SHIFT
    pop es
    call read_sectors                   ; CX = run length

    cmp dword [copy_target], KERNEL_PHYS
    jne .copy
    call check_kernel_header            ; the first run holds the header
.copy:
    mov esi, DISK_BUFFER
    mov edi, [copy_target]
    movzx ecx, word [run_length]
    shl ecx, SECTOR_SHIFT - 2           ; in dwords
    call copy_high
    movzx eax, word [run_length]
    shl eax, SECTOR_SHIFT
    add [copy_target], eax
    mov ax, [run_length]
    sub [sectors_left], ax
    jnz .next_run
    ret

; check_kernel_header: the first 16 bytes of KERNEL.BIN, at DISK_BUFFER.
check_kernel_header:
    push es
    push DISK_BUFFER >> PARAGRAPH_SHIFT
    pop es
    cmp dword [es:KH_MAGIC], "KVAL"
    jne bad_kernel
    cmp dword [es:KH_MAGIC + 4], "KRNL"
    jne bad_kernel
    mov eax, [es:KH_FOOTPRINT]
    cmp eax, KERNEL_MAX_SIZE
    ja kernel_too_large
    test eax, SECTOR_SIZE - 1           ; whole sectors, as reported to the kernel
    jnz bad_kernel
    cmp eax, [kernel_file_size]         ; the footprint covers the file
    jb bad_kernel
    mov [kernel_footprint], eax
    mov ebx, [es:KH_ENTRY]              ; the entry must lie inside the image
    sub ebx, KERNEL_VIRT
    jb bad_kernel
    cmp ebx, eax
    jae bad_kernel
    mov ebx, [es:KH_ENTRY]
    mov [kernel_entry_point], ebx
    pop es
    ret

; copy_high: copies ECX dwords from physical ESI to physical EDI, which may
; lie above 1 MiB. Real-mode segments reach only the first MiB, so the copy
; runs in a short stretch of protected mode with flat data segments; the
; code segment stays the real-mode one, which is safe with interrupts off.
; Before leaving, DS and ES get 64 KiB limits again so real mode is exactly
; as it was.
copy_high:
    push ds
    push es
    cli
    o32 lgdt [gdtr_loader]
    mov eax, cr0
    or al, CR0_PE
    mov cr0, eax
    jmp short .protected                ; drop what was fetched in real mode
.protected:
    mov ax, DATA_SELECTOR
    mov ds, ax
    mov es, ax
    a32 rep movsd
    mov ax, REAL_DATA_SELECTOR
    mov ds, ax
    mov es, ax
    mov eax, cr0
    and al, ~CR0_PE
    mov cr0, eax
    jmp short .real
.real:
    pop es
    pop ds
    sti
    ret

; floppy_motor_off: the BIOS stops the motor from its timer interrupt a few
; seconds after the last read, but interrupts stay off from here until the
; kernel's own floppy driver takes over, so stop it now.
floppy_motor_off:
    cmp byte [boot_drive], FIRST_HARD_DISK
    jae .done
    mov dx, PORT_FLOPPY_DOR
    mov al, FLOPPY_DOR_IDLE
    out dx, al
.done:
    ret

; --- failures -------------------------------------------------------------------

kernel_missing:
    mov si, msg_kernel_missing
    jmp fail
kernel_damaged:
    mov si, msg_kernel_damaged
    jmp fail
bad_kernel:
    mov si, msg_bad_kernel
    jmp fail
kernel_too_large:
    mov si, msg_kernel_too_large
    jmp fail
disk_error:
    mov si, msg_disk_error
; fail: reports "KVAL loader: " and the message at SI, then halts.
fail:
    xor ax, ax                          ; may come from anywhere, with any
    mov ds, ax                          ; segments
    sti                                 ; teletype output may need the BIOS clock
    push si
    mov si, msg_prefix
    call print
    pop si
    call print
    jmp halt_forever

%include "disk.inc"
%include "a20.inc"
%include "memmap.inc"

; --- protected mode -------------------------------------------------------------

bits 32

protected_entry:
    mov ax, DATA_SELECTOR
    mov ds, ax
    mov es, ax
    mov fs, ax
    mov gs, ax
    mov ss, ax
    mov esp, LOADER_STACK_TOP

    ; Zero-initialised data: from the end of the file to the end of the
    ; footprint (this also clears the slack of the file's last sector).
    mov edi, KERNEL_PHYS
    add edi, [kernel_file_size]
    mov ecx, [kernel_footprint]
    sub ecx, [kernel_file_size]
    xor eax, eax
    rep stosb

    call build_page_tables
    call fill_boot_info

    mov eax, PAGE_DIRECTORY
    mov cr3, eax
    mov eax, cr0
    or eax, CR0_PG | CR0_PE
    mov cr0, eax                        ; this code is mapped one-to-one, so
                                        ; it runs on unchanged
    push BOOT_INFO_ADDR                 ; kernel_entry finds it at ESP+4
    call [kernel_entry_point]
.never:                                 ; the kernel does not return
    cli
    hlt
    jmp .never

; build_page_tables: a directory with two tables.
;   entry 0:   0x00000000-0x003FFFFF onto the same physical addresses, which
;              covers the memory map, VGA memory, these tables, this code
;              and the frame bitmap the kernel puts above its image;
;   entry 768: 0xC0000000 onward onto KERNEL_PHYS, for the 1 MiB the kernel
;              image may take; the rest of that table is left absent, as it
;              is in the kernel's own tables.
build_page_tables:
    mov edi, PAGE_DIRECTORY
    mov ecx, PAGE_ENTRIES
    xor eax, eax
    rep stosd
    mov dword [PAGE_DIRECTORY], PAGE_TABLE_LOW | PAGE_PRESENT | PAGE_WRITABLE
    mov dword [PAGE_DIRECTORY + KERNEL_PDE_INDEX * 4], \
        PAGE_TABLE_KERNEL | PAGE_PRESENT | PAGE_WRITABLE

    mov edi, PAGE_TABLE_LOW
    mov eax, PAGE_PRESENT | PAGE_WRITABLE
    mov ecx, PAGE_ENTRIES
.low:
    stosd
    add eax, PAGE_SIZE
    loop .low

    mov edi, PAGE_TABLE_KERNEL
    mov eax, KERNEL_PHYS | PAGE_PRESENT | PAGE_WRITABLE
    mov ecx, KERNEL_PAGES
.kernel:
    stosd
    add eax, PAGE_SIZE
    loop .kernel
    mov ecx, PAGE_ENTRIES - KERNEL_PAGES
    xor eax, eax
    rep stosd
    ret

fill_boot_info:
    mov edi, BOOT_INFO_ADDR
    mov dword [edi + BI_MAGIC], BOOT_INFO_MAGIC
    mov eax, [memory_kb]
    mov [edi + BI_MEMORY_KB], eax
    movzx eax, byte [boot_drive]
    mov [edi + BI_BOOT_DRIVE], eax
    mov dword [edi + BI_MEMORY_MAP], MEMORY_MAP_ADDR
    movzx eax, word [mm_count]
    mov [edi + BI_MEMORY_MAP_COUNT], eax
    mov eax, [kernel_file_size]
    mov [edi + BI_KERNEL_FILE_SIZE], eax
    mov dword [edi + BI_KERNEL_PHYS], KERNEL_PHYS
    mov eax, [kernel_footprint]
    shr eax, SECTOR_SHIFT
    mov [edi + BI_KERNEL_SECTORS], eax
    ret

; --- data -----------------------------------------------------------------------

align 8
; Copied to GDT_ADDR. The first three entries are what the kernel is entered
; with; the fourth only serves copy_high's way back to real mode and lies
; beyond the limit the kernel is given.
gdt_template:
    dq 0                                ; null descriptor
    ; 0x08: code, base 0, limit 0xFFFFF pages (4 GiB), present, ring 0,
    ; execute/read; flags 0xC: 4 KiB granularity, 32-bit
    dw 0xFFFF, 0x0000
    db 0x00, 0x9A, 0xCF, 0x00
    ; 0x10: data, the same span, read/write
    dw 0xFFFF, 0x0000
    db 0x00, 0x92, 0xCF, 0x00
    ; 0x18: data, base 0, limit 0xFFFF bytes, 16-bit: real-mode limits
    dw 0xFFFF, 0x0000
    db 0x00, 0x92, 0x00, 0x00
gdt_template_end:

gdtr_loader:
    dw gdt_template_end - gdt_template - 1
    dd GDT_ADDR
gdtr_kernel:
    dw KERNEL_GDT_ENTRIES * 8 - 1
    dd GDT_ADDR

align 4
memory_kb           dd 0
low_ram_end         dq 0                ; end of the RAM counted from 0
kernel_file_size    dd 0
kernel_footprint    dd 0
kernel_entry_point  dd 0                ; virtual address from the header
copy_target         dd 0                ; physical address of the next chunk
mm_count            dw 0                ; entries in the memory map
e820_calls_left     dw 0
sectors_left        dw 0
next_cluster        dw 0
run_start           dw 0
run_length          dw 0
boot_drive          db 0

kernel_name          db "KERNEL  BIN"
msg_prefix           db 13, 10, "KVAL loader: ", 0
msg_disk_error       db "disk error", 0
msg_kernel_missing   db "KERNEL.BIN missing", 0
msg_kernel_damaged   db "KERNEL.BIN damaged", 0
msg_bad_kernel       db "KERNEL.BIN is not a KVAL kernel", 0
msg_kernel_too_large db "kernel too large", 0
msg_a20              db "A20 gate stuck", 0
msg_no_memory_map    db "no memory map from the BIOS", 0

%if $ - $$ > STAGE2_LIMIT - STAGE2_ADDR
%error "stage 2 outgrew the space the boot sector loads it into"
%endif
