#!/bin/sh
# SPDX-License-Identifier: MIT
# How ctest runs a Windows program: under Wine, once the Wine prefix's
# server and Wine's own service processes run. The first program that a
# prefix's server starts with leaves those processes holding its output
# open, and ctest would wait for them long after the test had ended, until
# its time-out. Started here first, with no output of ctest's, they hold
# nothing of it (a running server makes this a start of about 0.1 s).
wine cmd /c exit </dev/null >/dev/null 2>&1
exec wine "$@"
