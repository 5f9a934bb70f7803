; Calls every system call that returns, with a known value in every register
; the kernel promises to keep (EBX, ESI, EDI, EBP, ESP and the flags), and
; reports each call that changed one. It holds the console while it works, so
; that the shell's prompt waits for the report; calls 14, 15 and 16 are made
; after giving it back, so they return at once with -24 instead of waiting
; for a key.
%include "kval.inc"

KVAL_HEADER start

%define EBP_MARK 0x5EB05EB0
%define ESI_MARK 0x51515151

start:
    mov [entry_esp], esp
    mov esi, call_order

next_call:
    movzx eax, byte [esi]
    mov [call_no], eax
    mov [order_at], esi
    call arguments                  ; EBX, ECX, EDX, EDI for this call
    mov esi, ESI_MARK
    mov ebp, EBP_MARK
    mov [ebx_sent], ebx
    mov [edi_sent], edi
    stc                             ; carry and direction set: flags the kernel must give back
    std
    pushfd
    pop dword [flags_sent]
    push dword [flags_sent]
    popfd
    mov eax, [call_no]
    int KVAL_SYSCALL_VECTOR
    pushfd
    cld
    pop dword [flags_back]
    mov [ebx_back], ebx
    mov [edi_back], edi
    mov [esi_back], esi
    mov [ebp_back], ebp
    mov [esp_back], esp
    call compare
    mov esi, [order_at]
    inc esi
    cmp esi, call_order_end
    jb next_call

    KVAL_CALL KVAL_TAKE_CONSOLE     ; the report comes before the prompt
    mov ebx, summary_text
    mov edx, [checked]
    cmp dword [bad_calls], 0
    je .report
    mov ebx, failed_text
    mov edx, [bad_calls]
    mov ecx, [checked]
.report:
    KVAL_CALL KVAL_PRINTF
    KVAL_CALL KVAL_GIVE_CONSOLE
    KVAL_CALL KVAL_EXIT

; Every call but exit; 0 and 25 are unknown calls, which must keep
; everything too. 3 takes the console, 4 gives it back.
call_order:
    db 3, 0, 2, 5, 6, 7, 8, 9, 10, 11, 12, 13, 17, 18, 19, 20, 21, 22, 23, 24, 25
    db 4, 14, 15, 16
call_order_end:

; The arguments of call EAX: harmless ones, so that the checker leaves the
; screen and the system data as it found them.
arguments:
    mov ebx, empty
    xor ecx, ecx
    xor edx, edx
    mov edi, 0xD1D1D1D1
    cmp eax, KVAL_SET_CURSOR
    jne .color
    push eax
    KVAL_CALL KVAL_CURSOR_Y
    mov edx, ecx
    KVAL_CALL KVAL_CURSOR_X         ; ECX = column; EBX and EDX are kept
    pop eax
    ret
.color:
    cmp eax, KVAL_SET_COLOR
    jne .background
    push eax
    KVAL_CALL KVAL_COLOR
    mov edx, ecx
    pop eax
    ret
.background:
    cmp eax, KVAL_SET_BG_COLOR
    jne .putc
    push eax
    KVAL_CALL KVAL_BG_COLOR
    mov edx, ecx
    pop eax
    ret
.putc:
    cmp eax, KVAL_PUTC
    jne .data
    mov ebx, '.'
    ret
.data:
    cmp eax, KVAL_DATA_ADD
    jb .done
    cmp eax, KVAL_DATA_REMOVE
    ja .done
    mov ebx, data_name
    mov ecx, 7
.done:
    ret

; Counts the call and prints a line for every register it changed.
compare:
    inc dword [checked]
    mov eax, [ebx_sent]
    cmp eax, [ebx_back]
    mov ebx, ebx_text
    jne .changed
    mov eax, [edi_sent]
    cmp eax, [edi_back]
    mov ebx, edi_text
    jne .changed
    cmp dword [esi_back], ESI_MARK
    mov ebx, esi_text
    jne .changed
    cmp dword [ebp_back], EBP_MARK
    mov ebx, ebp_text
    jne .changed
    mov eax, [entry_esp]
    cmp eax, [esp_back]
    mov ebx, esp_text
    jne .changed
    mov eax, [flags_sent]
    cmp eax, [flags_back]
    mov ebx, flags_text
    jne .changed
    ret
.changed:
    inc dword [bad_calls]
    mov edx, [call_no]
    mov ebp, EBP_MARK
    KVAL_CALL KVAL_PRINTF           ; "Call %i changed ..."
    ret

summary_text: db 10, "Every one of %i calls kept EBX, ESI, EDI, EBP, ESP and the flags.", 0
failed_text:  db 10, "%i of %i calls changed a register they must keep.", 0
ebx_text:     db 10, "Call %i changed EBX.", 0
edi_text:     db 10, "Call %i changed EDI.", 0
esi_text:     db 10, "Call %i changed ESI.", 0
ebp_text:     db 10, "Call %i changed EBP.", 0
esp_text:     db 10, "Call %i changed ESP.", 0
flags_text:   db 10, "Call %i changed the flags.", 0
data_name:    db "RGCHK", 0
empty:        db 0

align 4
call_no:    dd 0
order_at:   dd 0
checked:    dd 0
bad_calls:  dd 0
entry_esp:  dd 0
ebx_sent:   dd 0
edi_sent:   dd 0
flags_sent: dd 0
flags_back: dd 0
ebx_back:   dd 0
edi_back:   dd 0
esi_back:   dd 0
ebp_back:   dd 0
esp_back:   dd 0
