"""A running process's memory as another process with the right may read it: each readable
mapping's bytes, from /proc/PID/mem; and what is left there of a secret, found piece by piece.
Used by the tests directly, and from inside gdb."""

# A released block loses its first bytes to the allocator's free-list links (16 bytes in glibc,
# 32 in its large bins), so a secret is looked for as every window of it, wherever it lies. Both
# windows carry 64 random bits (8 bytes of the secret, or 16 digits of its hex): over all the
# windows of a scan (a few hundred thousand at most) and every byte of a process's memory (a few
# MiB), a chance match stays below 2**-24 a scan.
HEX_WINDOW = 16
BYTES_WINDOW = 8


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


def find_pieces(regions, needles):
    """Where each of `needles`, (needle, window) pairs with windows of 8 bytes or more, lies in
    part in `regions` ((address, bytes) pairs): for each needle a sorted list of (address, start,
    end), each a longest run of needle[start:end], at least `window` bytes long, found at that
    address."""
    # Every window is looked up by its first 8 bytes, read as one number at each offset of the
    # region: eight passes, one for each offset modulo 8, where one that finds none of them (the
    # usual case) runs at C speed.
    windows = {}
    for n, (needle, window) in enumerate(needles):
        assert window >= 8
        for offset in range(len(needle) - window + 1):
            windows.setdefault(int.from_bytes(needle[offset:offset + 8], "little"), []).append(
                (n, offset))
    runs = [{} for _ in needles]  # where the needle's first byte would be -> [(start, end)]
    for address, data in regions:
        view = memoryview(data)
        for first in range(8):
            numbers = view[first:first + (len(data) - first) // 8 * 8].cast("Q")
            if windows.keys().isdisjoint(numbers):
                continue
            for i, number in enumerate(numbers):
                for n, offset in windows.get(number, ()):
                    add_run(runs[n], address, data, first + 8 * i, needles[n], offset)
    return [sorted((placed + start, start, end) for placed, known in found.items()
                   for start, end in known) for found in runs]


def add_run(runs, address, data, at, needle_and_window, offset):
    # The window of the needle from `offset`, if it lies at data[at:], stretched both ways for as
    # long as the bytes agree (data[base + i] holds needle[i]), unless a run has it already.
    needle, window = needle_and_window
    if data[at:at + window] != needle[offset:offset + window]:
        return
    known = runs.setdefault(address + at - offset, [])
    if any(start <= offset < end for start, end in known):
        return
    base, start, end = at - offset, offset, offset + window
    while start > 0 and base + start > 0 and data[base + start - 1] == needle[start - 1]:
        start -= 1
    while end < len(needle) and base + end < len(data) and data[base + end] == needle[end]:
        end += 1
    known.append((start, end))


def find_secret(pid, secret):
    """What is left of `secret` in the process's memory: {"hex": runs of its lower-case hex,
    "bytes": runs of its bytes}, each run (address, start, end) as find_pieces gives it."""
    hex_runs, byte_runs = find_pieces(readable_regions(pid), [
        (secret.hex().encode(), HEX_WINDOW), (secret, BYTES_WINDOW)])
    return {"hex": hex_runs, "bytes": byte_runs}
