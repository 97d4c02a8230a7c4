"""Reads a Windows executable (PE32 or PE32+ image) from its bytes: the DLLs it imports, its
resources, and the version record among them. Python standard library only, so it runs on any
host.
"""

import struct

RT_VERSION = 16
RT_MANIFEST = 24

_IMPORT_DIRECTORY = 1
_RESOURCE_DIRECTORY = 2
_HIGH_BIT = 0x80000000


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = self._u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine = self._u16(pe + 4)  # IMAGE_FILE_MACHINE_*
        section_count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = self._u16(optional)
        self.dll_characteristics = self._u16(optional + 70)  # the same place in PE32 and PE32+
        if magic == 0x20B:  # PE32+
            directories = optional + 112
        elif magic == 0x10B:  # PE32
            directories = optional + 96
        else:
            raise ValueError("unknown optional header 0x%x" % magic)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(self._u32(directories - 4))]
        self.sections = []
        for i in range(section_count):
            virtual_size, address, raw_size, raw_offset = struct.unpack_from(
                "<IIII", data, optional + optional_size + 40 * i + 8)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset, raw_size))

    def section_names(self):
        """The section table's names, in order (a name over 8 bytes shows as '/' and a number)."""
        pe = self._u32(0x3C)
        count, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        table = pe + 24 + optional_size
        return [self.data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode("ascii")
                for i in range(count)]

    def _u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        """The file offset of a relative virtual address."""
        for address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size and rva - address < raw_size:
                return raw_offset + rva - address
        raise ValueError("address 0x%x is in no section's file data" % rva)

    def directory(self, index):
        """(address, size) of a data directory; (0, 0) when the image has none."""
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def _ascii(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        """The names of the DLLs in the import directory: the ones the loader maps at start."""
        names = []
        address = self.directory(_IMPORT_DIRECTORY)[0]
        if address:
            entry = self.offset(address)
            while any(struct.unpack_from("<5I", self.data, entry)):  # a zero entry ends the list
                names.append(self._ascii(self._u32(entry + 12)))
                entry += 20
        return names

    def resources(self):
        """{(type, name, language): bytes}; an id is an int, a name a str."""
        address = self.directory(_RESOURCE_DIRECTORY)[0]
        if not address:
            return {}
        base = self.offset(address)

        def entries(table, want_table):
            named, ids = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                if key & _HIGH_BIT:  # a counted UTF-16 name
                    start = base + (key & ~_HIGH_BIT)
                    key = self.data[start + 2:start + 2 + 2 * self._u16(start)].decode("utf-16-le")
                if bool(target & _HIGH_BIT) != want_table:
                    raise ValueError("resource tree has a leaf where a table belongs, or back")
                yield key, target & ~_HIGH_BIT

        found = {}
        for kind, names in entries(0, True):
            for name, languages in entries(names, True):
                for language, leaf in entries(languages, False):
                    data_address, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_address)
                    found[(kind, name, language)] = self.data[start:start + size]
        return found


def _align4(offset):
    return (offset + 3) & ~3


def version_tree(block, offset=0):
    """Parses one node of a VS_VERSIONINFO record: (key, value, [children]). A text value is a
    str without its terminating zero, any other value bytes."""
    length, value_length, is_text = struct.unpack_from("<HHH", block, offset)
    end = offset + length
    key_end = offset + 6
    while block[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = block[offset + 6:key_end].decode("utf-16-le")
    value_start = _align4(key_end + 2)
    if is_text:  # the length counts UTF-16 units, the terminating zero included
        value = block[value_start:value_start + 2 * value_length].decode("utf-16-le")
        value, value_end = value.split("\0")[0], value_start + 2 * value_length
    else:
        value, value_end = block[value_start:value_start + value_length], value_start + value_length
    children = []
    child = _align4(value_end)
    while child < end:
        children.append(version_tree(block, child))
        child = _align4(child + struct.unpack_from("<H", block, child)[0])
    return key, value, children
