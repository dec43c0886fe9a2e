#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the Windows files of a zortcp zip as Windows will see them.

    windows_pe_check.py --imports tests/release/windows_imports.txt \\
        --version 1.0.0 --def lib/zortcp.def bin/zortcp.dll bin/zorcat.exe

For each file, read from its PE headers and tables (no Windows tool needed):
- the oldest Windows named by the header (OS and subsystem version) is the
  floor of the import list (6.1, Windows 7);
- every imported function is in the import list, with a Windows version no
  newer than the floor; a program's imports from zortcp.dll are among the
  DLL's exports;
- the version resource: file and product version (numbers and text) equal
  --version, the product name, the file's own name, a license line;
- a DLL exports exactly the names of --def.
Prints what it read and exits with 1 on any difference.
"""
import argparse
import os
import struct
import sys

RT_VERSION = 16
FIXED_INFO_SIGNATURE = 0xFEEF04BD


def version_key(text):
    return tuple(int(part) for part in text.split("."))


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = data = f.read()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: not a PE file")
        sections, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        fields = struct.unpack_from("<6H", data, optional + 40)
        self.os_version = f"{fields[0]}.{fields[1]}"
        self.subsystem_version = f"{fields[4]}.{fields[5]}"
        directories = optional + (96 if magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(3)]
        self.thunk = "<I" if magic == 0x10B else "<Q"
        self.ordinal_bit = 1 << (31 if magic == 0x10B else 63)
        self.sections = []
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
            self.sections.append((address, max(size, raw_size), raw))

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError(f"address {rva:#x} is in no section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def exports(self):
        rva, size = self.directories[0]
        if size == 0:
            return []
        count, names = struct.unpack_from("<I4xI", self.data, self.offset(rva) + 24)
        table = self.offset(names)
        return [self.text(struct.unpack_from("<I", self.data, table + 4 * i)[0]) for i in range(count)]

    def imports(self):
        """(DLL name, function name) pairs; ordinals as '#n'."""
        found = []
        descriptor = self.offset(self.directories[1][0])
        step = struct.calcsize(self.thunk)
        while True:
            lookup, name, first = struct.unpack_from("<I8xII", self.data, descriptor)
            if name == 0:
                return found
            dll = self.text(name)
            thunk = self.offset(lookup or first)
            while True:
                entry = struct.unpack_from(self.thunk, self.data, thunk)[0]
                if entry == 0:
                    break
                if entry & self.ordinal_bit:
                    found.append((dll, f"#{entry & 0xFFFF}"))
                else:
                    found.append((dll, self.text(entry + 2)))  # after the hint
                thunk += step
            descriptor += 20

    def resource(self, kind):
        """The data of the first resource of a type, or None."""
        rva, size = self.directories[2]
        if size == 0:
            return None
        root = self.offset(rva)
        directory = root
        for wanted in (kind, None, None):  # type, then the first name and language
            named, numbered = struct.unpack_from("<12xHH", self.data, directory)
            entries = [struct.unpack_from("<II", self.data, directory + 16 + 8 * i) for i in range(named + numbered)]
            chosen = [target for ident, target in entries if wanted is None or ident == wanted]
            if not chosen:
                return None
            directory = root + (chosen[0] & 0x7FFFFFFF)
        data_rva, data_size = struct.unpack_from("<II", self.data, directory)
        start = self.offset(data_rva)
        return self.data[start:start + data_size]


def blocks(data, start, end):
    """The (key, value, children start, end) of each version-info block."""
    while start + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, start)
        if length == 0:
            return
        key_end = start + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[start + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        yield key, data[value_start:value_start + value_bytes], (value_start + value_bytes + 3) & ~3, start + length
        start = (start + length + 3) & ~3


def version_info(data):
    """(file version, product version, {name: text}) of a VS_VERSIONINFO."""
    key, value, children, end = next(blocks(data, 0, len(data)))
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", value)
    if key != "VS_VERSION_INFO" or signature != FIXED_INFO_SIGNATURE:
        raise ValueError("no VS_VERSION_INFO")

    def dotted(high, low):
        return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"

    strings = {}
    for name, _, tables, tables_end in blocks(data, children, end):
        if name != "StringFileInfo":
            continue
        for _, _, entries, entries_end in blocks(data, tables, tables_end):
            for string, text, _, _ in blocks(data, entries, entries_end):
                strings[string] = text.decode("utf-16-le").rstrip("\0")
    return dotted(file_ms, file_ls), dotted(product_ms, product_ls), strings


def read_import_list(path):
    """{(dll in lower case, function): Windows version} from the list file."""
    allowed = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].split()
            if not line:
                continue
            if len(line) != 3:
                raise ValueError(f"{path}:{number}: want 'DLL function version'")
            allowed[(line[0].lower(), line[1])] = line[2]
    return allowed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--imports", required=True, help="the list of allowed imports")
    parser.add_argument("--floor", default="6.1", help="the oldest Windows (default 6.1, Windows 7)")
    parser.add_argument("--version", required=True, help="the project version, X.Y.Z")
    parser.add_argument("--def", dest="def_file", help="the .def whose names the DLL exports")
    parser.add_argument("files", nargs="+")
    options = parser.parse_args()
    allowed = read_import_list(options.imports)
    floor = version_key(options.floor)
    problems = []
    library_exports = set()
    files = sorted(options.files, key=lambda path: not path.lower().endswith(".dll"))
    for path in files:
        name = os.path.basename(path)
        pe = PeFile(path)
        for what, found in (("OS version", pe.os_version), ("subsystem version", pe.subsystem_version)):
            if found != options.floor:
                problems.append(f"{name}: header {what} {found}, not {options.floor}")

        imports = pe.imports()
        newest = ("0.0", "")
        for dll, function in imports:
            if dll.lower() == "zortcp.dll":
                if function not in library_exports:
                    problems.append(f"{name}: imports {function} from zortcp.dll, which does not export it")
                continue
            version = allowed.get((dll.lower(), function))
            if version is None:
                problems.append(f"{name}: imports {dll} {function}, which is not in {options.imports}")
            elif version_key(version) > floor:
                problems.append(f"{name}: imports {dll} {function}, part of Windows {version} only")
            elif version_key(version) > version_key(newest[0]):
                newest = (version, function)
        dlls = sorted({dll for dll, _ in imports}, key=str.lower)
        print(f"{name}: header {pe.os_version}/{pe.subsystem_version}; {len(imports)} imports from "
              f"{', '.join(dlls)}; newest: {newest[1]} (Windows {newest[0]})")

        data = pe.resource(RT_VERSION)
        if data is None:
            problems.append(f"{name}: no version resource")
        else:
            file_version, product_version, strings = version_info(data)
            numbers = options.version + ".0"
            wanted = {"FileVersion": options.version, "ProductVersion": options.version,
                      "ProductName": "zortcp", "OriginalFilename": name}
            for key, text in wanted.items():
                if strings.get(key) != text:
                    problems.append(f"{name}: version resource {key} {strings.get(key)!r}, not {text!r}")
            if file_version != numbers or product_version != numbers:
                problems.append(f"{name}: version numbers {file_version}/{product_version}, not {numbers}")
            if "MIT" not in strings.get("LegalCopyright", ""):
                problems.append(f"{name}: version resource names no license")
            print(f"{name}: version {file_version}, " + "; ".join(f"{k} {v}" for k, v in sorted(strings.items())))

        if name.lower().endswith(".dll"):
            library_exports = set(pe.exports())
            if options.def_file:
                with open(options.def_file, encoding="utf-8") as f:
                    lines = [line.split(";", 1)[0].strip() for line in f]
                listed = set(lines[lines.index("EXPORTS") + 1:]) - {""}
                if listed != library_exports:
                    problems.append(f"{name}: exports {sorted(library_exports)}, {options.def_file} "
                                    f"lists {sorted(listed)}")
            print(f"{name}: {len(library_exports)} exports")

    for problem in problems:
        print(f"FAILED: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
