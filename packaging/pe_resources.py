#!/usr/bin/env python3
"""Prints the version information and the manifest built into a Windows .exe.

usage: pe_resources.py PROGRAM.exe

Output, one item a line:
    FILEVERSION 1.1.0.0              (the numeric version, VS_FIXEDFILEINFO)
    PRODUCTVERSION 1.1.0.0
    StringFileInfo 040904B0 FileVersion=1.1.0   (each string, per string table)
    ...
    MANIFEST <the manifest's XML on one line>
Exits 1 when the file is not a PE image or has no version information.
Reads the file directly, so it needs no Windows tools.
"""

import struct
import sys

RT_VERSION = 16
RT_MANIFEST = 24


class PEError(Exception):
    pass


def sections_and_resources(data):
    """The section table and the resource directory's RVA and size."""
    if data[:2] != b"MZ":
        raise PEError("not an MZ executable")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise PEError("no PE signature")
    section_count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = {0x10B: optional + 96, 0x20B: optional + 112}.get(magic)
    if directories is None:
        raise PEError("unknown optional header magic %#x" % magic)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    sections = []
    for index in range(section_count):
        base = optional + optional_size + 40 * index
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, base + 8)
        sections.append((rva, max(virtual_size, raw_size), raw_offset))
    return sections, resource_rva, resource_size


def file_offset(sections, rva):
    for start, size, raw_offset in sections:
        if start <= rva < start + size:
            return raw_offset + rva - start
    raise PEError("address %#x is in no section" % rva)


def resources(data):
    """{(type, name, language): bytes} for every resource in the image."""
    sections, rva, size = sections_and_resources(data)
    if not size:
        return {}
    base = file_offset(sections, rva)
    found = {}

    def walk(offset, path):
        named, numbered = struct.unpack_from("<HH", data, base + offset + 12)
        for index in range(named + numbered):
            ident, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * index)
            key = path + (ident,)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, key)
            else:
                data_rva, data_size = struct.unpack_from("<II", data, base + target)
                start = file_offset(sections, data_rva)
                found[key] = data[start:start + data_size]

    walk(0, ())
    return found


def align4(offset):
    return (offset + 3) & ~3


def version_block(blob, offset):
    """One block of a VS_VERSIONINFO tree: (key, value, children, end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", blob, offset)
    end = offset + length
    key_start = offset + 6
    key_end = key_start
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[key_start:key_end].decode("utf-16-le")
    position = align4(key_end + 2)
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = blob[position:position + value_bytes]
    position = align4(position + value_bytes)
    children = []
    while position < end:
        child = version_block(blob, position)
        children.append(child)
        position = align4(child[3])
    return key, value, children, end


def four_part(most, least):
    return "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


def describe(path):
    data = open(path, "rb").read()
    found = resources(data)
    versions = [blob for (kind, _, _), blob in sorted(found.items()) if kind == RT_VERSION]
    if not versions:
        raise PEError("no version information")
    lines = []
    key, fixed, children, _ = version_block(versions[0], 0)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        raise PEError("malformed version information")
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", fixed, 8)
    lines.append("FILEVERSION " + four_part(file_ms, file_ls))
    lines.append("PRODUCTVERSION " + four_part(product_ms, product_ls))
    for child_key, _, tables, _ in children:
        if child_key != "StringFileInfo":
            continue
        for table_key, _, strings, _ in tables:
            for name, value, _, _ in strings:
                text = value.decode("utf-16-le").rstrip("\0")
                lines.append("StringFileInfo %s %s=%s" % (table_key, name, text))
    for (kind, _, _), blob in sorted(found.items()):
        if kind == RT_MANIFEST:
            lines.append("MANIFEST " + " ".join(blob.decode("utf-8").split()))
    return lines


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    try:
        print("\n".join(describe(sys.argv[1])))
    except (PEError, struct.error, UnicodeDecodeError) as error:
        print("%s: %s" % (sys.argv[1], error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
