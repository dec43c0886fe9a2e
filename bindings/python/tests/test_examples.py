# SPDX-License-Identifier: MIT
"""Every Python example of the package's README and of docs/python.md runs,
against a local instrument standing in for port 5025."""

from __future__ import annotations

import re
import socket
import subprocess
import sys
import threading
from pathlib import Path
from typing import Iterator, List, Tuple

import pytest

HERE = Path(__file__).resolve().parent
PAGES = [HERE.parent / "README.md", HERE.parents[2] / "docs" / "python.md"]


def examples() -> List[Tuple[str, str]]:
    found = []
    for page in PAGES:
        if not page.exists():
            continue
        text = page.read_text()
        for match in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
            line = text.count("\n", 0, match.start()) + 1
            found.append((f"{page.name}:{line}", match.group(1)))
    return found


@pytest.fixture(scope="module")
def instrument() -> Iterator[int]:
    """Answers MEAS:TEMP? with +21.50 and echoes every other line, on as
    many connections as come."""
    listener = socket.create_server(("127.0.0.1", 0))
    threads = []

    def answer(connection: socket.socket) -> None:
        with connection, connection.makefile("rb") as lines:
            for line in lines:
                connection.sendall(b"+21.50\n" if line == b"MEAS:TEMP?\n" else line)

    def serve() -> None:
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:  # the listener is closed
                return
            thread = threading.Thread(target=answer, args=(connection,))
            thread.start()
            threads.append(thread)

    server = threading.Thread(target=serve)
    server.start()
    yield listener.getsockname()[1]
    listener.shutdown(socket.SHUT_RDWR)
    listener.close()
    server.join(10)
    for thread in threads:
        thread.join(10)


@pytest.mark.parametrize("code", [code for _, code in examples()],
                         ids=[name for name, _ in examples()])
def test_example_runs(code, instrument, tmp_path):
    done = subprocess.run([sys.executable, "-c", code.replace("5025", str(instrument))],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")


def test_every_page_has_examples():
    assert len(examples()) >= 5


def test_the_package_has_the_projects_version_and_refuses_windows_plainly():
    import zortcp

    cmake = HERE.parents[2] / "CMakeLists.txt"
    if cmake.exists():
        assert f"project(zortcp VERSION {zortcp.__version__} " in cmake.read_text()
    done = subprocess.run([sys.executable, "-c", "import sys; sys.platform = 'win32'; import zortcp"],
                          capture_output=True, text=True, timeout=60)
    sentence = done.stderr.strip().splitlines()[-1]
    assert done.returncode == 1 and sentence.startswith("ImportError: zortcp for Python runs")
    for page in PAGES:  # the pages say it in the same words
        assert sentence.split(": ", 1)[1] in " ".join(page.read_text().split())
