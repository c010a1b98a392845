"""The 1 GiB core image of the benchmarks: half of its pages zero, in runs
as untouched memory is in a real core, the rest random; with --core it
starts with an ELF header and notes naming a signal, a thread and two
mapped files, as the kernel writes them.

    python3 bench/core_image.py <path> [--core]
"""
import os
import random
import struct
import sys

PAGE = 4096


def note(kind, desc, name=b"CORE"):
    n = struct.pack("<III", len(name) + 1, len(desc), kind) + name + b"\0"
    n += b"\0" * (-len(n) % 4) + desc
    return n + b"\0" * (-len(n) % 4)


def notes(pc):
    """NT_PRSTATUS, NT_SIGINFO (SIGSEGV) and NT_FILE for a fault at pc."""
    prstatus = bytearray(336)
    struct.pack_into("<h", prstatus, 12, 11)
    struct.pack_into("<i", prstatus, 32, 42)
    struct.pack_into("<Q", prstatus, 112 + 16 * 8, pc)
    siginfo = struct.pack("<iii", 11, 0, 1) + b"\0" * 4 + struct.pack("<Q", 0x10) + b"\0" * 104
    names = [b"/usr/bin/victim", b"/usr/lib/libvictim.so.1"]
    files = struct.pack("<QQ", len(names), PAGE)
    for i in range(len(names)):
        files += struct.pack("<QQQ", 0x400000 + i * 0x100000, 0x410000 + i * 0x100000, 2)
    files += b"".join(n + b"\0" for n in names)
    return note(1, bytes(prstatus)) + note(0x53494749, siginfo) + note(0x46494c45, files)


def header(body, memory):
    """ELF header, a PT_NOTE and a PT_LOAD of memory bytes, the notes, and
    padding to the page where the memory starts."""
    ph_off = 64
    notes_off = ph_off + 2 * 56
    load_off = (notes_off + len(body) + PAGE - 1) // PAGE * PAGE
    eh = b"\x7fELF" + bytes([2, 1, 1]) + b"\0" * 9
    eh += struct.pack("<HHIQQQIHHHHHH", 4, 62, 1, 0, ph_off, 0, 0, 64, 56, 2, 0, 0, 0)
    ph = struct.pack("<IIQQQQQQ", 4, 0, notes_off, 0, 0, len(body), 0, 4)
    ph += struct.pack("<IIQQQQQQ", 1, 5, load_off, 0x400000, 0, memory, memory, PAGE)
    return eh + ph + body + b"\0" * (load_off - notes_off - len(body))


def write(path, core=False, size=1 << 30):
    """Returns the share of zero pages."""
    rng = random.Random(1)
    pages = size // PAGE
    zero = bytes(PAGE * 64)
    with open(path, "wb") as f:
        if core:
            f.write(header(notes(0x500123), pages * PAGE))
        written, is_zero, zeros = 0, False, 0
        while written < pages:
            run = min(rng.randint(1, 64), pages - written)
            if is_zero:
                f.write(zero[: run * PAGE])
                zeros += run
            else:
                f.write(os.urandom(run * PAGE))
            written += run
            is_zero = not is_zero
    return zeros / pages


if __name__ == "__main__":
    share = write(sys.argv[1], "--core" in sys.argv[2:])
    print("image: %d MiB, %.1f%% zero pages" % ((1 << 30) >> 20, 100.0 * share))
