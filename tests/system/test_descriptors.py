"""The descriptor tables and interrupt controllers as the processor sees them after start-up."""

import re
import struct

import pytest

KERNEL_START, KERNEL_END = 0xC0000000, 0xC0100000
EXCEPTION_VECTORS = [v for v in range(0, 20) if v not in (8, 15)] + [30]
DOUBLE_FAULT_VECTOR = 8
SYSCALL_VECTOR = 60
IGNORED_VECTORS = [15] + list(range(20, 30)) + [31] + [v for v in range(48, 256) if v != SYSCALL_VECTOR]
MASTER_DEFAULT_VECTORS = [34, 35, 36, 37, 39]
SLAVE_DEFAULT_VECTORS = list(range(40, 48))
DRIVER_VECTORS = {32: "timer", 33: "keyboard", 38: "floppy"}


@pytest.fixture(scope="module")
def registers(welcomed):
    return welcomed[0].registers()


@pytest.fixture(scope="module")
def gates(welcomed, registers):
    base, limit = registers["IDT"]
    raw = welcomed[0].memsave(base, limit + 1)
    gates = []
    for vector in range(len(raw) // 8):
        low, selector, zero, kind, high = struct.unpack_from("<HHBBH", raw, vector * 8)
        gates.append({"offset": high << 16 | low, "selector": selector, "zero": zero,
                      "type": kind})
    return gates


def test_gdt_register_and_slots(welcomed, registers):
    base, limit = registers["GDT"]
    assert limit == 0x2F
    assert KERNEL_START <= base < KERNEL_END, f"GDT base {base:#x} is not in the kernel"
    table = welcomed[0].memsave(base, 48)
    slots = [table[i:i + 8] for i in range(0, 48, 8)]
    assert slots[0] == bytes(8)
    # Bit 0 of the access byte is the processor's: set once a segment register loads it.
    accessed = [bytes(s[:5]) + bytes([s[5] & ~1]) + bytes(s[6:]) for s in slots[1:3]]
    assert accessed[0] == bytes([0xFF, 0xFF, 0, 0, 0, 0x9A, 0xCF, 0]), slots[1].hex()
    assert accessed[1] == bytes([0xFF, 0xFF, 0, 0, 0, 0x92, 0xCF, 0]), slots[2].hex()
    # Two task-state segments of 104 bytes in the kernel: the start-up task,
    # busy since the task register holds it, and the double-fault task.
    for slot, access in ((slots[3], 0x8B), (slots[4], 0x89)):
        base = slot[2] | slot[3] << 8 | slot[4] << 16 | slot[7] << 24
        assert (slot[0], slot[1], slot[5], slot[6]) == (103, 0, access, 0), slot.hex()
        assert KERNEL_START <= base < KERNEL_END, f"TSS base {base:#x} is not in the kernel"
    assert slots[5] == bytes(8)
    assert re.search(r"^TR =0018 ", registers["text"], re.M), registers["text"]


def test_segment_registers_use_the_flat_selectors(registers):
    text = registers["text"]
    selectors = dict(re.findall(r"^(CS|DS|ES|FS|GS|SS) =([0-9a-f]{4})", text, re.M))
    assert selectors["CS"] == "0008"
    assert all(selectors[s] == "0010" for s in ("DS", "ES", "FS", "GS", "SS")), selectors


def test_idt_register_and_every_gate_is_a_kernel_interrupt_gate_but_the_double_faults(registers, gates):
    base, limit = registers["IDT"]
    assert limit == 0x7FF
    assert KERNEL_START <= base < KERNEL_END, f"IDT base {base:#x} is not in the kernel"
    assert len(gates) == 256
    assert gates[DOUBLE_FAULT_VECTOR] == {"offset": 0, "selector": 0x20, "zero": 0, "type": 0x85}
    bad = [(v, g) for v, g in enumerate(gates)
           if v != DOUBLE_FAULT_VECTOR and (g["selector"] != 0x08 or g["zero"] != 0 or g["type"] != 0x8E
                                            or not KERNEL_START <= g["offset"] < KERNEL_END)]
    assert not bad, f"gates that are not 0x08/0x8E into the kernel: {bad[:8]}"


def test_each_exception_handler_reports_its_own_vector(welcomed, gates):
    # cli; cld; push imm8: the stub hands exception_dispatch its vector.
    wrong = {v: welcomed[0].memsave(gates[v]["offset"], 4).hex() for v in EXCEPTION_VECTORS
             if welcomed[0].memsave(gates[v]["offset"], 4) != bytes([0xFA, 0xFC, 0x6A, v])}
    assert not wrong, wrong


def test_vector_map(gates):
    offset = [g["offset"] for g in gates]
    ignore = offset[15]
    master, slave = offset[34], offset[40]
    assert len({ignore, master, slave}) == 3, "the three default handlers are not distinct"
    assert [v for v in IGNORED_VECTORS if offset[v] != ignore] == []
    assert [v for v in MASTER_DEFAULT_VECTORS if offset[v] != master] == []
    assert [v for v in SLAVE_DEFAULT_VECTORS if offset[v] != slave] == []
    own = {v: offset[v] for v in EXCEPTION_VECTORS + list(DRIVER_VECTORS) + [SYSCALL_VECTOR]}
    assert len(set(own.values())) == len(own), "exception, driver and system-call vectors share handlers"
    defaulted = [v for v, o in own.items() if o in (ignore, master, slave)]
    assert not defaulted, f"vectors still on a default handler: {defaulted}"


def test_interrupt_controllers_remapped_with_only_timer_keyboard_floppy_open(welcomed):
    text = welcomed[0].hmp("info pic")
    pics = {name: (int(imr, 16), int(base, 16)) for name, imr, base in
            re.findall(r"(pic[01]): .*?imr=([0-9a-f]+) .*?irq_base=([0-9a-f]+)", text)}
    assert pics["pic0"] == (0xFF & ~(1 << 0 | 1 << 1 | 1 << 6), 0x20), text
    assert pics["pic1"] == (0xFF, 0x28), text
