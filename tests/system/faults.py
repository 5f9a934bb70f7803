"""The fault programs of apps/faults (built into build/apps/faults) and the
message each must end with, and a floppy that holds them in its root, where
a lookup costs no disk read."""

from pathlib import Path

import images

BUILT = Path(__file__).resolve().parents[2] / "build" / "apps" / "faults"

MESSAGES = {
    "vec00": "Division By Zero", "vec01": "Debugger", "vec02": "Non Maskable Interrupt", "vec03": "BreakPoint",
    "vec04": "Overflow", "vec05": "Bound Range Exceeded", "vec06": "Invalid Opcode",
    "vec07": "Device Not Available", "vec08": "Double Fault", "vec09": "Coprocessor Processor Overrun",
    "vec10": "Invalid TSS", "vec11": "Segment Not Present", "vec12": "Stack Segment Fault",
    "vec13": "General Protection Fault", "vec14": "Page Fault", "vec16": "x87 Floating Point Exception",
    "vec17": "Aligment Check", "vec18": "Machine Check", "vec19": "SIMD Floating Point Exception",
    "vec30": "Security Exception", "mmx": "Invalid Opcode", "sse": "Invalid Opcode", "stkedge": "Page Fault",
}


def image(base, path):
    """A copy of the image `base` at `path` with every fault program in its root."""
    files = {f"{name.upper()}.KVX": (BUILT / f"{name}.kvx").read_bytes() for name in MESSAGES}
    return images.variant(base, path, files=files)
