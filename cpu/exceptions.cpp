// The processor-exception handlers: each vector the processor reserves for a
// fault, trap or abort gets an entry stub (cpu/isr.asm) that reports the
// vector's message through fatal_error. None of them returns.
#include "cpu/fatal.h"
#include "cpu/idt.h"
#include "cpu/isr.h"

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

}  // namespace

const char* exception_message(int32_t vector)
{
    if (vector < 0 || vector >= EXCEPTION_VECTORS) {
        return nullptr;
    }
    return exception_messages[vector];
}

// In ascending vector order, each a kernel-only interrupt gate: interrupts
// stay off from the fault to the report.
void exceptions_install()
{
    for (int32_t vector = 0; vector < EXCEPTION_VECTORS; ++vector) {
        if (exception_messages[vector] != nullptr && exception_stubs[vector] != nullptr) {
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
