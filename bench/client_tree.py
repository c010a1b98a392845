#!/usr/bin/env python3
"""Builds an archive tree of N crashes for the client benchmark: a core image
in the pending directory (every tenth in failed/pending) and an asset whose
"/proc/self/exe" link names one of a few dozen executables."""

import io
import os
import sys
import tarfile


def asset(executable):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as tar:
        cmdline = tarfile.TarInfo("/proc/self/cmdline")
        data = executable.encode() + b"\0--serve\0"
        cmdline.size = len(data)
        tar.addfile(cmdline, io.BytesIO(data))
        link = tarfile.TarInfo("/proc/self/exe")
        link.type = tarfile.SYMTYPE
        link.linkname = executable
        tar.addfile(link)
    return buffer.getvalue()


def main():
    root, count = sys.argv[1], int(sys.argv[2])
    for name in ("staging", "pending", "sending", "assets", "failed/pending", "failed/sending",
                 "committed/coredump", "committed/snapshot"):
        os.makedirs(os.path.join(root, name), exist_ok=True)
    assets = [asset("/usr/lib/service-%02d/bin/daemon-%02d" % (i, i)) for i in range(40)]
    core = b"\x7fELF" + b"\0" * 8188
    for i in range(count):
        base = "%08x-%04x-4e1d-9c2a-%012x" % (i * 2654435761 & 0xffffffff, i & 0xffff, i)
        directory = "failed/pending" if i % 10 == 0 else "pending"
        with open(os.path.join(root, directory, base), "wb") as f:
            f.write(core[: 4096 + (i % 4096)])
        with open(os.path.join(root, "assets", base), "wb") as f:
            f.write(assets[i % len(assets)])


if __name__ == "__main__":
    main()
