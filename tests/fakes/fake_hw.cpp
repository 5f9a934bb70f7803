// Host implementations of lib/port.h, lib/cpu.h and lib/physmem.h.
#include "fakes/fake_hw.h"

#include <sys/mman.h>
#include <cstring>
#include <stdexcept>

#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/port.h"

namespace fake {

std::vector<PortAccess> port_writes;
bool interrupts_on;
uint32_t cr0;
uint32_t cr2;
uint32_t cr3;
uint16_t task_register;
std::vector<uint8_t> gdtr;
std::vector<uint8_t> idtr;
std::vector<uint32_t> invalidated_pages;
std::vector<uint32_t> syscalls;
bool has_cpuid;
uint32_t stack_pointer;
int relax_calls;
int halts;
std::function<void()> on_relax;
int relax_limit;
std::function<void(uint32_t)> on_syscall;

namespace {
std::map<uint16_t, std::deque<uint32_t>> queued;
std::map<uint16_t, std::function<uint32_t(uint16_t)>> read_handlers;
std::map<uint16_t, std::function<void(uint16_t, uint32_t)>> write_handlers;
std::map<uint16_t, uint32_t> default_reads;
uint8_t* arena;

uint32_t read_port(uint16_t port)
{
    auto q = queued.find(port);
    if (q != queued.end() && !q->second.empty()) {
        uint32_t v = q->second.front();
        q->second.pop_front();
        return v;
    }
    auto h = read_handlers.find(port);
    if (h != read_handlers.end()) {
        return h->second(port);
    }
    auto d = default_reads.find(port);
    return d != default_reads.end() ? d->second : 0xFF;
}

void write_port(uint16_t port, uint32_t value, int width)
{
    port_writes.push_back({port, value, width});
    auto h = write_handlers.find(port);
    if (h != write_handlers.end()) {
        h->second(port, value);
    }
}
}  // namespace

std::vector<uint32_t> writes_to(uint16_t port)
{
    std::vector<uint32_t> out;
    for (const auto& w : port_writes) {
        if (w.port == port) {
            out.push_back(w.value);
        }
    }
    return out;
}

void queue_reads(uint16_t port, std::initializer_list<uint32_t> values)
{
    for (uint32_t v : values) {
        queued[port].push_back(v);
    }
}

void on_read(uint16_t port, std::function<uint32_t(uint16_t)> handler)
{
    read_handlers[port] = std::move(handler);
}

void on_write(uint16_t port, std::function<void(uint16_t, uint32_t)> handler)
{
    write_handlers[port] = std::move(handler);
}

void set_default_read(uint16_t port, uint32_t value)
{
    default_reads[port] = value;
}

uint8_t* phys(uint32_t address)
{
    if (arena == nullptr) {
        void* p = mmap(nullptr, ARENA_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            throw std::runtime_error("cannot map the physical-memory arena");
        }
        arena = static_cast<uint8_t*>(p);
    }
    if (address >= ARENA_SIZE) {
        throw std::out_of_range("physical address beyond the fake arena: " + std::to_string(address));
    }
    return arena + address;
}

uint32_t translate(uint32_t virtual_address)
{
    if ((cr0 & 0x80000000u) == 0) {
        return virtual_address;
    }
    uint32_t pde;
    std::memcpy(&pde, phys((cr3 & 0xFFFFF000u) + (virtual_address >> 22) * 4), 4);
    if ((pde & 1) == 0) {
        throw PageFault{virtual_address};
    }
    uint32_t pte;
    std::memcpy(&pte, phys((pde & 0xFFFFF000u) + ((virtual_address >> 12) & 0x3FF) * 4), 4);
    if ((pte & 1) == 0) {
        throw PageFault{virtual_address};
    }
    return (pte & 0xFFFFF000u) | (virtual_address & 0xFFF);
}

void reset()
{
    port_writes.clear();
    queued.clear();
    read_handlers.clear();
    write_handlers.clear();
    default_reads.clear();
    interrupts_on = false;
    cr0 = 0;
    cr2 = 0;
    cr3 = 0;
    task_register = 0;
    gdtr.clear();
    idtr.clear();
    invalidated_pages.clear();
    syscalls.clear();
    has_cpuid = true;
    stack_pointer = 0;
    relax_calls = 0;
    halts = 0;
    on_relax = nullptr;
    relax_limit = 10'000'000;
    on_syscall = nullptr;
    std::memset(phys(0), 0, 8u * 1024 * 1024);  // the low 8 MiB tests touch most
    if (arena != nullptr) {
        madvise(arena + 8u * 1024 * 1024, ARENA_SIZE - 8u * 1024 * 1024, MADV_DONTNEED);
    }
}

}  // namespace fake

// ---- lib/port.h ----
void port_out8(uint16_t port, uint8_t value)
{
    fake::write_port(port, value, 8);
}
uint8_t port_in8(uint16_t port)
{
    return static_cast<uint8_t>(fake::read_port(port));
}
void port_out16(uint16_t port, uint16_t value)
{
    fake::write_port(port, value, 16);
}
uint16_t port_in16(uint16_t port)
{
    return static_cast<uint16_t>(fake::read_port(port));
}

// ---- lib/cpu.h ----
void interrupts_enable()
{
    fake::interrupts_on = true;
}
void interrupts_disable()
{
    fake::interrupts_on = false;
}
void cpu_halt()
{
    cpu_relax();
}

void cpu_relax()
{
    ++fake::relax_calls;
    if (fake::relax_limit != 0 && fake::relax_calls > fake::relax_limit) {
        throw std::runtime_error("busy-wait did not end");
    }
    if (fake::on_relax) {
        fake::on_relax();
    }
}

// STI; HLT: interrupts are on while the fake's interrupts come in.
void cpu_wait_for_interrupt(uint32_t saved_flags)
{
    if ((saved_flags & EFLAGS_IF) != 0) {
        ++fake::halts;
        fake::interrupts_on = true;
    }
    cpu_relax();
}

void cpu_stop()
{
    fake::interrupts_on = false;
    throw fake::Halted{};
}

bool cpu_has_cpuid()
{
    return fake::has_cpuid;
}

const char* cpu_vendor()
{
    static char vendor[13] = "GenuineIntel";
    return vendor;
}

uint32_t cpu_read_eflags()
{
    return fake::interrupts_on ? 0x202u : 0x002u;
}

void cpu_load_gdt(const DescriptorTableRegister* table_register)
{
    const auto* p = reinterpret_cast<const uint8_t*>(table_register);
    fake::gdtr.assign(p, p + 6);
}

void cpu_load_idt(const DescriptorTableRegister* table_register)
{
    const auto* p = reinterpret_cast<const uint8_t*>(table_register);
    fake::idtr.assign(p, p + 6);
}

uint32_t cpu_read_cr0()
{
    return fake::cr0;
}
void cpu_write_cr0(uint32_t value)
{
    fake::cr0 = value;
}
uint32_t cpu_read_cr2()
{
    return fake::cr2;
}
uint32_t cpu_read_cr3()
{
    return fake::cr3;
}
void cpu_write_cr3(uint32_t value)
{
    fake::cr3 = value;
}
void cpu_invalidate_page(uint32_t virtual_address)
{
    fake::invalidated_pages.push_back(virtual_address);
}
void cpu_load_task_register(uint16_t selector)
{
    constexpr uint8_t TSS_AVAILABLE = 0x89;
    constexpr uint8_t TSS_BUSY = 0x8B;
    uint32_t base;
    uint16_t limit;
    std::memcpy(&limit, fake::gdtr.data(), 2);
    std::memcpy(&base, fake::gdtr.data() + 2, 4);
    const uint32_t slot = selector & ~7u;
    if (fake::gdtr.size() != 6 || slot == 0 || slot + 7 > limit) {
        throw std::logic_error("LTR: selector outside the GDT");
    }
    auto* access = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(base + slot + 5));
    if (*access != TSS_AVAILABLE) {
        throw std::logic_error("LTR: not an available TSS");
    }
    *access = TSS_BUSY;
    fake::task_register = selector;
}
uint32_t cpu_stack_pointer()
{
    return fake::stack_pointer;
}

void cpu_switch_stack(uint32_t stack_top, void (*continuation)())
{
    fake::stack_pointer = stack_top;
    continuation();
    throw std::runtime_error("stack continuation returned");
}

void cpu_syscall(uint32_t number)
{
    fake::syscalls.push_back(number);
    if (fake::on_syscall) {
        fake::on_syscall(number);
    }
}

// ---- lib/physmem.h ----
void* phys_ptr(uint32_t address)
{
    return fake::phys(address);
}
void* virt_ptr(uint32_t address)
{
    return fake::phys(fake::translate(address));
}
