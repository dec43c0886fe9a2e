# SPDX-License-Identifier: MIT
"""Asks an instrument on TCP/IP for a reading and prints its answer.

    python instrument.py [HOST [PORT]]      (default 127.0.0.1 5025)
"""

import sys

import zortcp

host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
service = int(sys.argv[2]) if len(sys.argv) > 2 else 5025

# Returns once connected; ConnectionRefusedError, TimeoutError... otherwise.
with zortcp.connect(host, service, timeout=5) as port:
    port.write(b"MEAS:TEMP?\n")
    port.flush(timeout=5)  # sent, not only queued: a close drops what is not
    answer = b""
    while not answer.endswith(b"\n"):
        part = port.read(timeout=5)
        if not part:
            sys.exit("the instrument did not answer")
        answer += part
    print("instrument says", answer.decode().strip())
    print("statistics:", port.statistics())
