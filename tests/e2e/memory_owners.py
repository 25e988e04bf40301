#!/usr/bin/env python3
"""What holds the private memory of a running Wine process, by owner: the program (its
main thread, the threads it names quarn-*, its executable), the emulator's facades loaded
into it (threads named emu-*, the facade DLLs named on the command line), Wine (its own
DLLs and its unnamed threads), and the rest unattributed (every heap, the program's own
allocations among them).

    memory_owners.py PID [FACADE_DLL...]

Private memory is Linux's count of the process's private pages (Private_Clean and
Private_Dirty in /proc/PID/smaps), what Windows calls private bytes: Wine 8 reports no
private bytes for another process. Under Wine each thread holds about 1 MiB of private
memory of its own whatever its stack size, and an executable or DLL whose sections are not
page-aligned in its file (mingw's default) is read into private pages. A thread's share is
the mapping that holds its stack pointer (read from /proc/PID/task/TID/syscall while it
waits); an image's is every mapping between its base and base + SizeOfImage.

Prints "OWNER KIND NAME BYTES" lines, then "total private BYTES" and "total rss BYTES"."""
import os
import re
import struct
import sys


def read_regions(pid):
    regions = []
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            head = re.match(r"^([0-9a-f]+)-([0-9a-f]+) \S+ ([0-9a-f]+) \S+ \d+\s*(.*)$", line)
            if head:
                regions.append({"start": int(head[1], 16), "end": int(head[2], 16), "offset": int(head[3], 16),
                                "path": head[4].strip(), "private": 0, "rss": 0})
            elif line.startswith(("Private_Clean:", "Private_Dirty:")):
                regions[-1]["private"] += int(line.split()[1]) * 1024
            elif line.startswith("Rss:"):
                regions[-1]["rss"] += int(line.split()[1]) * 1024
    return regions


def size_of_image(path):
    """SizeOfImage from a PE file's optional header, or None."""
    try:
        with open(path, "rb") as image:
            header = image.read(4096)
    except OSError:
        return None
    if header[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", header, 0x3C)[0]
    if header[pe:pe + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<I", header, pe + 24 + 56)[0]


def thread_owner(pid, tid, name):
    if tid == pid or name.startswith("quarn-"):
        return "program"
    if name.startswith("emu-"):
        return "emulator"
    return "wine"


def main():
    pid = int(sys.argv[1])
    facades = {os.path.basename(p).lower() for p in sys.argv[2:]}
    regions = read_regions(pid)
    claimed = set()
    lines = []

    for tid_text in sorted(os.listdir(f"/proc/{pid}/task"), key=int):
        tid = int(tid_text)
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            continue
        if len(fields) < 9:
            continue  # running, no stack pointer to read
        sp = int(fields[7], 16)
        for index, region in enumerate(regions):
            if region["start"] <= sp < region["end"] and index not in claimed:
                claimed.add(index)
                label = "main" if tid == pid else name
                lines.append((thread_owner(pid, tid, name), "thread", f"{label}({tid})", region["private"]))
                break

    for region in regions:
        path = region["path"]
        if region["offset"] != 0 or not path.lower().endswith((".dll", ".exe")):
            continue
        size = size_of_image(path)
        if size is None:
            continue
        base = region["start"]
        total = 0
        for index, other in enumerate(regions):
            if index not in claimed and base <= other["start"] < base + size:
                claimed.add(index)
                total += other["private"]
        module = os.path.basename(path)
        if module.lower() in facades:
            owner = "emulator"
        elif "/wine/" in path:
            owner = "wine"
        else:
            owner = "program"
        lines.append((owner, "image", module, total))

    rest = sum(r["private"] for i, r in enumerate(regions) if i not in claimed)
    lines.append(("unattributed", "other", "heaps-and-rest", rest))
    for owner, kind, name, size in lines:
        print(owner, kind, name, size)
    print("total private", sum(r["private"] for r in regions))
    print("total rss", sum(r["rss"] for r in regions))


if __name__ == "__main__":
    main()
