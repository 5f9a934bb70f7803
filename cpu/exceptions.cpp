// The processor-exception handlers: each vector the processor reserves for a
// fault, trap or abort gets an entry stub (cpu/isr.asm) that reports the
// vector's message through fatal_error. None of them returns. The double
// fault has a task of its own (cpu/tss.h), so that it survives a stack that
// is gone.
#include "cpu/fatal.h"
#include "cpu/idt.h"
#include "cpu/isr.h"
#include "cpu/pic.h"
#include "cpu/tss.h"
#include "lib/cpu.h"
#include "proc/process.h"

namespace {

constexpr int32_t EXCEPTION_VECTORS = 32;  // vectors 0-31 belong to the processor

// Indexed by vector (Intel SDM vol. 3, "Exception and Interrupt Reference").
// Null: no handler here, the vector keeps its default gate (15, 22-29 and 31
// are reserved; 20 and 21 belong to features the kernel never turns on).
constexpr const char* exception_messages[EXCEPTION_VECTORS] = {
    "Division By Zero",               // 0  #DE divide error
    "Debugger",                       // 1  #DB debug
    "Non Maskable Interrupt",         // 2  NMI
    "BreakPoint",                     // 3  #BP int3
    "Overflow",                       // 4  #OF into
    "Bound Range Exceeded",           // 5  #BR bound
    "Invalid Opcode",                 // 6  #UD
    "Device Not Available",           // 7  #NM
    "Double Fault",                   // 8  #DF
    "Coprocessor Processor Overrun",  // 9  coprocessor segment overrun
    "Invalid TSS",                    // 10 #TS
    "Segment Not Present",            // 11 #NP
    "Stack Segment Fault",            // 12 #SS
    "General Protection Fault",       // 13 #GP
    "Page Fault",                     // 14 #PF
    nullptr,                          // 15 reserved
    "x87 Floating Point Exception",   // 16 #MF
    "Aligment Check",                 // 17 #AC
    "Machine Check",                  // 18 #MC
    "SIMD Floating Point Exception",  // 19 #XM
    nullptr,                          // 20 #VE
    nullptr,                          // 21 #CP
    nullptr,                          // 22 reserved
    nullptr,                          // 23 reserved
    nullptr,                          // 24 reserved
    nullptr,                          // 25 reserved
    nullptr,                          // 26 reserved
    nullptr,                          // 27 reserved
    nullptr,                          // 28 reserved
    nullptr,                          // 29 reserved
    "Security Exception",             // 30 #SX
    nullptr,                          // 31 reserved
};

// Only reachable if a stub were bound to a vector without a message.
constexpr const char* UNKNOWN_EXCEPTION = "Unknown Processor Exception";

constexpr int32_t DOUBLE_FAULT = 8;
constexpr int32_t PAGE_FAULT = 14;
// What the processor pushes for a fault at the same privilege: EFLAGS, CS,
// EIP and an error code.
constexpr uint32_t FAULT_FRAME_BYTES = 16;

// A stack overflow: the write that faulted last was the processor pushing
// the first fault's frame just below the interrupted ESP, and it fell below
// the process's stack. A software INT 8, or a fault whose frame could be
// written, leaves no such address.
bool is_stack_overflow(uint32_t fault_address, uint32_t interrupted_esp, uint32_t stack_base)
{
    const uint32_t depth = interrupted_esp - fault_address;
    return fault_address < stack_base && depth >= 1 && depth <= FAULT_FRAME_BYTES;
}

// Where an application that double-faulted starts again, on a fresh stack:
// from here it is reported and ended like any other faulting application.
[[noreturn]] void end_in_page_fault()
{
    fatal_error(exception_messages[PAGE_FAULT]);
}

[[noreturn]] void end_in_double_fault()
{
    fatal_error(exception_messages[DOUBLE_FAULT]);
}

}  // namespace

const char* exception_message(int32_t vector)
{
    if (vector < 0 || vector >= EXCEPTION_VECTORS) {
        return nullptr;
    }
    return exception_messages[vector];
}

// In ascending vector order, each a kernel-only interrupt gate (interrupts
// stay off from the fault to the report), but for the double fault's task
// gate.
void exceptions_install()
{
    for (int32_t vector = 0; vector < EXCEPTION_VECTORS; ++vector) {
        if (vector == DOUBLE_FAULT) {
            idt_set_task_gate(vector, TSS_DOUBLE_FAULT_SELECTOR);
        } else if (exception_messages[vector] != nullptr && exception_stubs[vector] != nullptr) {
            idt_set_gate(vector, exception_stubs[vector], false);
        }
    }
}

// Called by the exception stubs with interrupts already off.
extern "C" void exception_dispatch(int32_t vector)
{
    const char* message = exception_message(vector);
    fatal_error(message != nullptr ? message : UNKNOWN_EXCEPTION);
}

// The double-fault task, entered through vector 8's gate with interrupts off
// on its own stack. The context that faulted is never resumed: its stack may
// be gone. Whatever that context was in the middle of is abandoned with it,
// an interrupt handler's end of interrupt included. An application starts
// again on a fresh stack of its own to be reported and ended; anything else
// ends on the kernel report, drawn from here.
extern "C" void double_fault_task()
{
    const uint32_t fault_address = cpu_read_cr2();
    const uint32_t interrupted_esp = tss_interrupted_esp();
    tss_rearm();
    pic_end_all_in_service();

    ProcessRecord record;
    process_get_record(&record, process_current_pid());
    const bool overflow = is_stack_overflow(fault_address, interrupted_esp, record.stack_base);
    if (scheduler_is_enabled() != 0 && record.type == PROCESS_APPLICATION) {
        process_restart_current(overflow ? end_in_page_fault : end_in_double_fault);
    }
    fatal_error(exception_messages[overflow ? PAGE_FAULT : DOUBLE_FAULT]);
}
