# SPDX-License-Identifier: MIT
"""The package's one piece of C: its event handler (src/zortcp/_wake.c).

It uses no Python headers; the package loads it with ctypes. The version is
the project's one version, from project() in the source tree's
CMakeLists.txt (or, built from a source archive, from its PKG-INFO).
"""

import re
from pathlib import Path

from setuptools import Extension, setup

HERE = Path(__file__).resolve().parent


def project_version() -> str:
    cmake = HERE.parents[1] / "CMakeLists.txt"
    info = HERE / "PKG-INFO"
    for path, pattern in ((cmake, r"^project\(zortcp VERSION ([0-9.]+)"),
                          (info, r"^Version: (\S+)")):
        if path.exists():
            match = re.search(pattern, path.read_text(), re.M)
            if match:
                return match.group(1)
    raise SystemExit(f"no version: neither {cmake} nor {info} gives one")


setup(
    version=project_version(),
    ext_modules=[
        Extension(
            "zortcp._wake",
            ["src/zortcp/_wake.c"],
            extra_compile_args=["-std=c11", "-O2"],
        )
    ],
)
