# SPDX-License-Identifier: MIT
"""mypy --strict passes on the package and flags a setting of the wrong type."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from test_examples import examples

SOURCE = Path(__file__).resolve().parents[1] / "src"

USER = """\
import zortcp

with zortcp.connect("127.0.0.1", 5025, keep_alive=5, fast_transfer=True) as port:
    port.write(b"x")
zortcp.connect("127.0.0.1", 5025, keep_alive="5")
"""


@pytest.mark.skipif(shutil.which("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_passes_and_flags_a_string_for_an_integer(tmp_path):
    # The package, the pages' examples, and a user's file with one mistake.
    user = tmp_path / "user.py"
    user.write_text(USER)
    pages = []
    for number, (_, code) in enumerate(examples()):
        pages.append(f"example_{number}.py")
        (tmp_path / pages[-1]).write_text(code)
    done = subprocess.run(
        ["mypy", "--strict", "--enable-incomplete-feature=Unpack", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), str(SOURCE / "zortcp"), user.name, *pages],
        capture_output=True, text=True, timeout=120, cwd=tmp_path,
        env={**os.environ, "MYPYPATH": str(SOURCE)})
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, done.stdout + done.stderr
    assert errors[0].startswith("user.py:5:") and '"keep_alive"' in errors[0]
