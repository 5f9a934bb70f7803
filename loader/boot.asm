; Boot sector (block 0 of the floppy).
;
; The BIOS loads it to 0x7C00 with the boot drive in DL. It reads the root
; directory, finds LOADER.BIN, loads it cluster by cluster along its FAT
; chain to STAGE2_ADDR and jumps there with the boot drive still in DL.
;
; tools/mkimage.sh copies only the jump and OEM name (bytes 0-10) and the
; code (from byte 62) into the image: the BPB below documents the layout and
; keeps the offsets right, but the file system keeps the BPB that mkfs.fat
; wrote (the tool checks that both agree).

%include "layout.inc"
%include "fat12.inc"

bits 16
org BOOT_SECTOR_ADDR

start:
    jmp short main
    nop

; BIOS parameter block of a standard 1.44 MB floppy
oem_name            db "KVAL    "
bytes_per_sector    dw SECTOR_SIZE
sectors_per_cluster db 1
reserved_sectors    dw RESERVED_SECTORS
fat_count           db FAT_COUNT
root_entries        dw ROOT_ENTRIES
total_sectors       dw 2880
media_descriptor    db 0xF0
sectors_per_fat     dw SECTORS_PER_FAT
sectors_per_track   dw SECTORS_PER_TRACK
heads               dw HEADS
hidden_sectors      dd 0
total_sectors_large dd 0
drive_number        db 0
                    db 0
extended_signature  db 0x29
volume_id           dd 0
volume_label        db "KVAL       "
file_system         db "FAT12   "

main:
    REAL_MODE_SEGMENTS
    jmp 0x0000:.flat                ; some BIOSes enter at 07C0:0000
.flat:
    ; The drive number lives in the BPB slot mkfs.fat reserved for it.
    mov [drive_number], dl

    mov ax, ROOT_DIR_LBA
    mov cx, ROOT_DIR_SECTORS
    push ROOT_DIR_BUFFER >> PARAGRAPH_SHIFT
    pop es
    call read_sectors

    mov si, stage2_name
    call find_root_entry
    jc stage2_missing
    push word [bx + DIR_FIRST_CLUSTER]

    mov ax, FAT_LBA
    mov cx, SECTORS_PER_FAT
    push FAT_BUFFER >> PARAGRAPH_SHIFT
    pop es
    call read_sectors

    pop ax                          ; first cluster
    push STAGE2_ADDR >> PARAGRAPH_SHIFT
    pop es
.next_cluster:
    cmp ax, CLUSTER_END
    jae .loaded
    cmp ax, FIRST_CLUSTER
    jb disk_error                   ; a free or reserved entry in a chain
    cmp ax, CLUSTER_RESERVED
    jae disk_error                  ; bad or reserved cluster
    mov dx, es
    cmp dx, STAGE2_LIMIT >> PARAGRAPH_SHIFT
    jae stage2_too_large            ; also stops a looping chain
    push ax
    add ax, DATA_LBA - FIRST_CLUSTER
    mov cx, 1                       ; one sector per cluster
    call read_sectors
    pop ax
    call fat_next_cluster
    jmp .next_cluster

.loaded:
    mov dl, [drive_number]
    jmp 0x0000:STAGE2_ADDR

stage2_too_large:
    mov si, msg_too_large
    jmp fail
stage2_missing:
    mov si, msg_missing
    jmp fail
disk_error:
    mov si, msg_disk_error
fail:
    push si
    mov si, msg_prefix
    call print
    pop si
    call print
    jmp halt_forever

boot_drive equ drive_number

%include "disk.inc"

stage2_name     db "LOADER  BIN"
msg_prefix      db 13, 10, "KVAL boot: ", 0
msg_disk_error  db "disk error", 0
msg_missing     db "LOADER.BIN missing", 0
msg_too_large   db "LOADER.BIN too large", 0

    times 510 - ($ - $$) db 0
    dw 0xAA55                       ; BIOS boot signature: bytes 0x55 0xAA
