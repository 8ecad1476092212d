"""What the analyser needs from an ELF file, read from its headers only.

The GNU build ID comes from the PT_NOTE segments (or, when a file has no
program headers, the SHT_NOTE sections); whether the file carries symbols
comes from its section names. Only the headers and the notes are read, never
the whole file, so a large binary costs a few kilobytes. A file that is not
ELF, or is cut short, gives an ElfInfo whose `error` says so.
"""

import struct

PT_NOTE = 4
SHT_NOTE = 7
NT_GNU_BUILD_ID = 3


class ElfInfo:
    def __init__(self):
        self.build_id = None  # hex, or None when the file has none
        self.has_symtab = False  # .symtab: every function has a name
        self.has_debug = False  # .debug_info: file and line too
        self.error = None  # why the file could not be read as ELF


class _Reader:
    def __init__(self, f):
        self.f = f

    def at(self, offset, size):
        self.f.seek(offset)
        data = self.f.read(size)
        if len(data) != size:
            raise ValueError("cut short at byte %d" % offset)
        return data


def _notes(data, end):
    pos = 0
    while pos + 12 <= len(data):
        namesz, descsz, ntype = struct.unpack_from(end + "III", data, pos)
        name = data[pos + 12:pos + 12 + namesz]
        desc_at = pos + 12 + ((namesz + 3) & ~3)
        if desc_at + descsz > len(data):
            return None
        if ntype == NT_GNU_BUILD_ID and name.rstrip(b"\0") == b"GNU":
            return data[desc_at:desc_at + descsz].hex()
        pos = desc_at + ((descsz + 3) & ~3)
    return None


def read(path):
    info = ElfInfo()
    try:
        with open(path, "rb") as f:
            info = _read(_Reader(f))
    except OSError as e:
        info.error = "cannot be read: %s" % (e.strerror or e)
    return info


def _read(r):
    info = ElfInfo()
    try:
        ident = r.at(0, 16)
        if ident[:4] != b"\x7fELF" or ident[4] not in (1, 2) or ident[5] not in (1, 2):
            info.error = "is not an ELF file"
            return info
        is64 = ident[4] == 2
        end = "<" if ident[5] == 1 else ">"
        if is64:
            phoff, shoff = struct.unpack(end + "QQ", r.at(0x20, 16))
            phentsize, phnum, shentsize, shnum, shstrndx = struct.unpack(end + "HHHHH", r.at(0x36, 10))
        else:
            phoff, shoff = struct.unpack(end + "II", r.at(0x1C, 8))
            phentsize, phnum, shentsize, shnum, shstrndx = struct.unpack(end + "HHHHH", r.at(0x2A, 10))
        for i in range(min(phnum, 256)):
            ph = r.at(phoff + i * phentsize, phentsize)
            if is64:
                ptype, _, off, _, _, filesz = struct.unpack_from(end + "IIQQQQ", ph)
            else:
                ptype, off, _, _, filesz = struct.unpack_from(end + "IIIII", ph)
            if ptype == PT_NOTE and info.build_id is None and filesz < (1 << 20):
                info.build_id = _notes(r.at(off, filesz), end)
        sections = []
        for i in range(min(shnum, 4096)):
            sh = r.at(shoff + i * shentsize, shentsize)
            if is64:
                name, stype, _, _, off, size = struct.unpack_from(end + "IIQQQQ", sh)
            else:
                name, stype, _, _, off, size = struct.unpack_from(end + "IIIIII", sh)
            sections.append((name, stype, off, size))
        if sections and shstrndx < len(sections):
            _, _, off, size = sections[shstrndx]
            names = r.at(off, min(size, 1 << 20))
            for name, stype, off, size in sections:
                label = names[name:names.find(b"\0", name)] if name < len(names) else b""
                if label == b".symtab":
                    info.has_symtab = True
                elif label in (b".debug_info", b".zdebug_info"):
                    info.has_debug = True
                elif stype == SHT_NOTE and info.build_id is None and size < (1 << 20):
                    info.build_id = _notes(r.at(off, size), end)
    except (ValueError, struct.error) as e:
        info = ElfInfo()
        info.error = "is not a readable ELF file (%s)" % e
    return info
