#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Builds, checks and runs the code examples of the documentation, so that
none of them can rot unnoticed.

Every fenced block of README.md, examples/README.md and docs/*.md (the
Python and .NET pages are tested with their packages) names what it holds, and
each kind is put to work:

  c, cpp  compiled and linked against the built library, as a file of its
          own or, when it is a run of statements, as the body of main;
          "c windows" blocks are compiled (not linked) by the mingw-w64
          compiler with <windows.h>, where that compiler is installed
  ini     a configuration file: every keyword line names a keyword that the
          library reads
  sh      parsed by bash; every script it names exists, every test label it
          selects is one that ctest knows
  cmake   names only the package and target that zortcp installs
  text    output, a session or a layout: shown, not run; a block without a
          kind is one too

The example hosts of examples/ are built and run against an echo peer on
127.0.0.1.
"""

import argparse
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

KINDS = {"c", "cpp", "ini", "sh", "cmake", "text"}
WINDOWS_COMPILER = {"c": "x86_64-w64-mingw32-gcc-posix", "cpp": "x86_64-w64-mingw32-g++-posix"}
RUN_WAIT = 60  # seconds; only matters when something is broken

C_PRELUDE = """\
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zortcp.h>
"""
CPP_PRELUDE = """\
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <zortcp.h>
"""
# What a run of statements may take for granted: a port handle and a
# handler to register.
STATEMENTS_CONTEXT = """\
static int32_t OnEvent(int32_t source, int32_t kind, void *data, uint32_t userData)
{
    (void)source; (void)kind; (void)data; (void)userData;
    return 0;
}
"""


class Block:
    def __init__(self, page, line, info, text):
        self.page, self.line, self.text = page, line, text
        words = info.split()
        self.kind = words[0] if words else "text"
        # "c windows": code for the Windows DLL, checked by the mingw-w64
        # compiler where it is installed.
        self.windows = "windows" in words[1:]

    def where(self):
        return f"{self.page}:{self.line}"


def fenced_blocks(root, page):
    blocks, fence, info, start, lines = [], None, "", 0, []
    for number, line in enumerate((root / page).read_text().splitlines(), 1):
        stripped = line.strip()
        if fence is None:
            match = re.match(r"(```+|~~~+)(.*)", stripped)
            if match:
                fence, info, start, lines = match.group(1), match.group(2), number, []
        elif stripped.startswith(fence) and stripped.strip(fence[0]) == "":
            blocks.append(Block(page, start, info, "\n".join(lines) + "\n"))
            fence = None
        else:
            lines.append(line)
    return blocks


class Checker:
    def __init__(self, options, scratch):
        self.options, self.scratch = options, scratch
        self.root = Path(options.source)
        self.failures = []
        self.checked = 0

    def fail(self, block, message):
        self.failures.append(f"{block.where()}: {message}")

    def compiler(self, kind):
        return (["cc", "-std=c11"] if kind == "c" else ["c++", "-std=c++17"]) + [
            "-Wall", "-Werror", "-Wno-unused", *self.options.flag,
            *(f"-I{directory}" for directory in self.options.include)]

    def link(self):
        directory = str(Path(self.options.library).parent)
        return [f"-L{directory}", "-lzortcp", f"-Wl,-rpath,{directory}"]

    def build(self, kind, source, output, windows=False):
        suffix = ".c" if kind == "c" else ".cpp"
        path = self.scratch / (output.name + suffix)
        if windows:
            path.write_text("#include <windows.h>\n" + source)
            flags = [flag for flag in self.compiler(kind)[1:] if not flag.startswith("-fsanitize")]
            command = [WINDOWS_COMPILER[kind], "-fsyntax-only"] + flags + [str(path)]
        else:
            path.write_text(source)
            command = self.compiler(kind) + [str(path), "-o", str(output)] + self.link()
        return subprocess.run(command, capture_output=True, text=True)

    def check_code(self, block, number):
        prelude = C_PRELUDE if block.kind == "c" else CPP_PRELUDE
        has_main = re.search(r"\bint\s+main\s*\(", block.text) is not None
        # A file of its own first; else the statements of a main.
        shapes = [prelude + block.text + ("" if has_main else "int main(void) { return 0; }\n")]
        if not has_main:
            for handle in ("    int32_t handle = 0;\n", ""):
                shapes.append(prelude + STATEMENTS_CONTEXT + "int main(void)\n{\n" + handle +
                              block.text + "    return 0;\n}\n")
        output = self.scratch / f"block{number}"
        errors = []
        for shape in shapes:
            result = self.build(block.kind, shape, output, block.windows)
            if result.returncode == 0:
                return
            errors.append(result.stderr)
        # The shape that came closest tells what is wrong.
        closest = min(errors, key=lambda text: text.count("error:"))
        self.fail(block, "does not build against zortcp.h and libzortcp.so:\n" + closest)

    def known_keywords(self):
        table = (self.root / "src/diagnostics/config_file.cpp").read_text()
        return {name.upper() for name in re.findall(r'\{"([^"]+)", Keyword::', table)}

    def check_ini(self, block):
        keywords = self.known_keywords()
        for line in block.text.splitlines():
            if not line.strip() or line.lstrip()[0] in "#;":
                continue
            keyword, equals, _ = line.partition("=")
            if not equals or keyword.upper() not in keywords:
                self.fail(block, f"'{line}' is not a keyword line the library reads")

    def ctest_labels(self):
        # Each test program is labelled with its folder; others name theirs.
        tests = (self.root / "tests/CMakeLists.txt").read_text()
        return set(re.findall(r"zortcp_(?:test_program|long_test)\(\w+\s+(\w+)", tests)) | set(
            re.findall(r"\bLABELS\s+\"?(\w+)", tests))

    def check_sh(self, block):
        result = subprocess.run(["bash", "-n"], input=block.text, capture_output=True, text=True)
        if result.returncode != 0:
            self.fail(block, "bash cannot parse it: " + result.stderr)
        for script in re.findall(r"(?<![\w/.])((?:scripts|tools|examples)/[\w./-]+)", block.text):
            if not (self.root / script).exists():
                self.fail(block, f"names {script}, which does not exist")
        labels = None
        for line in block.text.replace("\\\n", " ").splitlines():
            try:
                words = shlex.split(line, comments=True)
            except ValueError:
                continue  # bash -n has judged it
            for label in (words[i + 1] for i, word in enumerate(words[:-1]) if word == "-L"):
                labels = self.ctest_labels() if labels is None else labels
                if words[0] == "ctest" and label not in labels:
                    self.fail(block, f"selects the test label {label}, which ctest does not know")

    def check_cmake(self, block):
        packaging = (self.root / "cmake/Packaging.cmake").read_text()
        for package in re.findall(r"find_package\((\w+)", block.text):
            if package != "zortcp":
                self.fail(block, f"finds the package {package}, not zortcp")
        for target in re.findall(r"\b(\w+)::(\w+)", block.text):
            if target != ("zortcp", "zortcp") or "NAMESPACE zortcp::" not in packaging:
                self.fail(block, f"links {'::'.join(target)}, which zortcp does not install")

    def check_pages(self):
        pages = ["README.md", "examples/README.md"] + sorted(
            str(page.relative_to(self.root)) for page in (self.root / "docs").glob("*.md")
            if page.name not in ("python.md", "dotnet.md"))
        for page in pages:
            for block in fenced_blocks(self.root, page):
                self.checked += 1
                if block.kind not in KINDS:
                    self.fail(block, f"a block of kind '{block.kind}'; name one of "
                                     f"{', '.join(sorted(KINDS))}")
                elif block.kind in ("c", "cpp"):
                    if block.windows and shutil.which(WINDOWS_COMPILER[block.kind]) is None:
                        continue  # no mingw-w64 compiler here: the Windows build checks the DLL
                    self.check_code(block, self.checked)
                elif block.kind == "ini":
                    self.check_ini(block)
                elif block.kind == "sh":
                    self.check_sh(block)
                elif block.kind == "cmake":
                    self.check_cmake(block)

    def run_example_hosts(self):
        with EchoPeer() as peer:
            service = f"127.0.0.1:{peer.port}"
            runs = [("examples/c/host.c", ["127.0.0.1", str(peer.port), "hello, zortcp"],
                     "hello, zortcp"),
                    ("examples/cpp/host.cpp", ["127.0.0.1", str(peer.port), "hello, zortcp"],
                     "hello, zortcp"),
                    ("examples/c/devices.c", ["2", service, service], ""),
                    ("examples/c/exit_close.c", ["4"], "handler calls after: 0")]
            for source, arguments, expected in runs:
                self.checked += 1
                block = Block(source, 1, "", "")
                kind = "c" if source.endswith(".c") else "cpp"
                program = self.scratch / Path(source).stem
                program = program.with_name(f"{program.name}-{kind}")
                result = self.build(kind, (self.root / source).read_text(), program)
                if result.returncode != 0:
                    self.fail(block, "does not build:\n" + result.stderr)
                    continue
                try:
                    run = subprocess.run([str(program)] + arguments, capture_output=True,
                                         text=True, timeout=RUN_WAIT, stdin=subprocess.DEVNULL)
                except subprocess.TimeoutExpired:
                    self.fail(block, f"did not end within {RUN_WAIT} s")
                    continue
                if run.returncode != 0 or expected not in run.stdout:
                    self.fail(block, f"exit status {run.returncode} against an echo peer:\n"
                                     f"{run.stdout}{run.stderr}")


class EchoPeer:
    """Echoes what each connection sends, on 127.0.0.1, until closed."""

    def __enter__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        return self

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.echo, args=(connection,), daemon=True).start()

    @staticmethod
    def echo(connection):
        with connection:
            try:
                while data := connection.recv(65536):
                    connection.sendall(data)
            except OSError:
                pass

    def __exit__(self, *exception):
        # shutdown wakes the accept, which a close alone leaves waiting.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        self.thread.join(RUN_WAIT)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--library", required=True, help="the built libzortcp.so")
    parser.add_argument("--include", action="append", required=True,
                        help="a folder of zortcp.h or zortcp_version.h")
    parser.add_argument("--flag", action="append", default=[],
                        help="a flag for compiling and linking, such as -fsanitize=thread")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="zortcp-doc-examples-") as scratch:
        checker = Checker(options, Path(scratch))
        checker.check_pages()
        checker.run_example_hosts()
    for failure in checker.failures:
        print(failure, file=sys.stderr)
    print(f"{checker.checked} examples, {len(checker.failures)} failures")
    return 1 if checker.failures else 0


if __name__ == "__main__":
    sys.exit(main())
