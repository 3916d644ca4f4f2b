#!/usr/bin/env python3
"""Reads the VERSIONINFO resource back from a Windows program file (PE32 or
PE32+) and checks it against the project's version:

    version-resource.py FILE VERSION dll|exe

prints the fixed file information and the strings, and exits 1 unless
  - the fixed file and product versions are VERSION.0 (VERSION: the
    project(... VERSION ...) of CMakeLists.txt, three numbers),
  - FileVersion and ProductVersion read VERSION, ProductName "telvo",
    OriginalFilename the file's own name, FileDescription is not empty,
  - the file type is VFT_DLL for a DLL and VFT_APP for a program.
The parser follows the PE resource directory (type 16, RT_VERSION) and the
VS_VERSIONINFO block layout (wLength, wValueLength, wType, key, 32-bit
alignment, value, children)."""

import os
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD
VFT_APP, VFT_DLL = 1, 2


class Malformed(Exception):
    pass


def u16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def sections(data):
    """The PE sections as (virtual address, size, file offset), and the
    resource directory's RVA."""
    if data[:2] != b"MZ":
        raise Malformed("not an MZ file")
    pe = u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise Malformed("no PE signature")
    coff = pe + 4
    count = u16(data, coff + 2)
    optional_size = u16(data, coff + 16)
    optional = coff + 20
    magic = u16(data, optional)
    if magic == 0x10B:
        directories = optional + 96
    elif magic == 0x20B:
        directories = optional + 112
    else:
        raise Malformed(f"unknown optional header magic {magic:#x}")
    resource_rva = u32(data, directories + 2 * 8)
    table = optional + optional_size
    result = []
    for i in range(count):
        entry = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
        result.append((virtual_address, max(virtual_size, raw_size), raw_offset))
    return result, resource_rva


def file_offset(table, rva):
    for address, size, raw in table:
        if address <= rva < address + size:
            return raw + rva - address
    raise Malformed(f"RVA {rva:#x} lies in no section")


def first_entry(data, base, directory, wanted_id=None):
    """The data offset of the directory entry with wanted_id (any if None)."""
    named, ids = u16(data, directory + 12), u16(data, directory + 14)
    for i in range(named + ids):
        entry = directory + 16 + 8 * i
        name, target = u32(data, entry), u32(data, entry + 4)
        if wanted_id is None or (not name & 0x80000000 and name == wanted_id):
            return target
    return None


def read_version(path):
    with open(path, "rb") as f:
        data = f.read()
    table, resource_rva = sections(data)
    if resource_rva == 0:
        raise Malformed("no resource directory")
    base = file_offset(table, resource_rva)
    directory = base
    target = None
    for depth, wanted in enumerate((RT_VERSION, None, None)):
        target = first_entry(data, base, directory, wanted)
        if target is None:
            raise Malformed("no version resource")
        is_directory = bool(target & 0x80000000)
        if depth < 2:
            if not is_directory:
                raise Malformed("resource tree shallower than type/name/language")
            directory = base + (target & 0x7FFFFFFF)
        elif is_directory:
            raise Malformed("resource tree deeper than type/name/language")
    entry = base + target
    data_rva, size = u32(data, entry), u32(data, entry + 4)
    start = file_offset(table, data_rva)
    return data[start:start + size]


def align4(offset):
    return (offset + 3) & ~3


def parse_node(blob, offset):
    """One block: (key, value, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", blob, offset)
    end = offset + length
    if length < 6 or end > len(blob):
        raise Malformed(f"block at {offset} of length {length}")
    cursor = offset + 6
    key_end = cursor
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[cursor:key_end].decode("utf-16-le")
    cursor = align4(key_end + 2)
    if kind == 1:  # text: value_length counts WCHARs, with the NUL
        raw = blob[cursor:cursor + 2 * value_length]
        value = raw.decode("utf-16-le").rstrip("\0")
        cursor += 2 * value_length
    else:
        value = blob[cursor:cursor + value_length]
        cursor += value_length
    children = []
    cursor = align4(cursor)
    while cursor < end:
        child = parse_node(blob, cursor)
        children.append(child)
        cursor = align4(child[3])
    return key, value, children, end


def version_info(path):
    key, fixed, children, _ = parse_node(read_version(path), 0)
    if key != "VS_VERSION_INFO":
        raise Malformed(f"root block {key!r}")
    if len(fixed) < 52 or u32(fixed, 0) != FIXED_SIGNATURE:
        raise Malformed("no VS_FIXEDFILEINFO")
    words = struct.unpack_from("<13I", fixed, 0)
    file_version = (words[2] >> 16, words[2] & 0xFFFF, words[3] >> 16, words[3] & 0xFFFF)
    product_version = (words[4] >> 16, words[4] & 0xFFFF, words[5] >> 16, words[5] & 0xFFFF)
    strings = {}
    for child_key, _, tables, _ in children:
        if child_key == "StringFileInfo":
            for _, _, entries, _ in tables:
                for name, text, _, _ in entries:
                    strings[name] = text
    return {"file_version": file_version, "product_version": product_version, "file_type": words[9]}, strings


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in ("dll", "exe"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    path, version, kind = sys.argv[1:]
    try:
        fixed, strings = version_info(path)
    except (Malformed, struct.error, UnicodeDecodeError, OSError) as error:
        print(f"{path}: {error}")
        return 1
    name = os.path.basename(path)
    dotted = ".".join(map(str, fixed["file_version"]))
    print(f"{name}: fixed file version {dotted}, product version "
          f"{'.'.join(map(str, fixed['product_version']))}, file type {fixed['file_type']}")
    for key in sorted(strings):
        print(f"  {key} = {strings[key]}")

    expected = tuple(int(n) for n in version.split(".")) + (0,)
    problems = []
    if fixed["file_version"] != expected:
        problems.append(f"fixed file version {dotted}, expected {version}.0")
    if fixed["product_version"] != expected:
        problems.append("fixed product version differs")
    if fixed["file_type"] != (VFT_DLL if kind == "dll" else VFT_APP):
        problems.append(f"file type {fixed['file_type']}")
    for key, want in (("FileVersion", version), ("ProductVersion", version), ("ProductName", "telvo"),
                      ("OriginalFilename", name)):
        if strings.get(key) != want:
            problems.append(f"{key} is {strings.get(key)!r}, expected {want!r}")
    if not strings.get("FileDescription"):
        problems.append("no FileDescription")
    for problem in problems:
        print(f"  WRONG: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
