# SPDX-License-Identifier: MIT
"""The package's one piece of C: its event handler (src/zortcp/_wake.c).

It uses no Python headers; the package loads it with ctypes.
"""

from setuptools import Extension, setup

setup(
    ext_modules=[
        Extension(
            "zortcp._wake",
            ["src/zortcp/_wake.c"],
            extra_compile_args=["-std=c11", "-O2"],
        )
    ]
)
