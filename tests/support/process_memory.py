"""A running process's memory as another process with the right may read it: each readable
mapping's bytes, from /proc/PID/mem. Used by the tests directly, and from inside gdb."""


def readable_regions(pid):
    # (start address, bytes) of every readable mapping the kernel lets a reader have.
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as mem:
        for line in maps:
            fields = line.split()
            start, end = (int(x, 16) for x in fields[0].split("-"))
            if not fields[1].startswith("r") or fields[-1] in ("[vvar]", "[vsyscall]"):
                continue
            try:
                mem.seek(start)
                yield start, mem.read(end - start)
            except OSError:
                continue
