# SPDX-License-Identifier: MIT
"""A script host: Python calling the library's C functions through ctypes,
as lab scripts do, with an event handler registered for one client port.

  script_host.py late <library> <peer port>
      open the port, with a handler that reads every received chunk, print
      "open" once bytes flow, and end the script with the port open
  script_host.py handler <library> <peer port>
      dlclose the library while the handler runs its connected event and
      needs the interpreter lock that the unloading thread holds; print
      "dlclose" once it has returned; once the handler has returned, load
      the library again, close the port, dlclose, and print "unloaded" when
      that dlclose has unloaded the library

The scenarios and their lines are those of the C host (lifecycle_host.cpp).
"""

import ctypes
import os
import sys
import threading

import _ctypes

EventHandler = ctypes.CFUNCTYPE(
    ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p, ctypes.c_uint32
)
EVENT_CONNECTED = 1
EVENT_RECEIVED = 3
DEFAULT_SERVICE = 1
WAIT_SECONDS = 30

# What the library holds on to lives as long as the script, as in a
# script written at the top level.
kept = []


def main(scenario, library_path, peer_port):
    lib = ctypes.CDLL(library_path)
    connected = threading.Event()
    release = threading.Event()
    returned = threading.Event()
    received = threading.Event()
    handle = ctypes.c_int32(-1)
    buffer = ctypes.create_string_buffer(4096)

    def on_event(source, kind, data, user_data):
        if kind == EVENT_RECEIVED:
            count = ctypes.c_int32(0)
            lib.ZorReadPort(handle, buffer, len(buffer), ctypes.byref(count))
            received.set()
        if kind == EVENT_CONNECTED and not connected.is_set():
            connected.set()
            if scenario == "handler":
                release.wait(WAIT_SECONDS)
                returned.set()
        return 0

    handler = EventHandler(on_event)
    kept.append(handler)
    service = peer_port.encode() + b"\0"
    lib.ZorChangeDefault(DEFAULT_SERVICE, service, len(service))
    lib.ZorSetEventHandler(handler, 7)
    if lib.ZorOpenPort(b"127.0.0.1", 0, 0, None, ctypes.byref(handle)) != 0:
        sys.exit("open failed")
    if not connected.wait(WAIT_SECONDS):
        sys.exit("no connected event")
    if scenario == "late":
        if not received.wait(WAIT_SECONDS):
            sys.exit("no bytes received")
        print("open", flush=True)
        return
    # The handler waits for the lock from here on: this thread holds it
    # through the dlclose.
    release.set()
    _ctypes.dlclose(lib._handle)
    print("dlclose", flush=True)
    if not returned.wait(WAIT_SECONDS):
        sys.exit("the handler did not return")
    # The port stayed open with the library: loaded again, it is found.
    lib = ctypes.CDLL(library_path)
    if lib.ZorClosePort(handle) != 0:
        sys.exit("close after loading again failed")
    _ctypes.dlclose(lib._handle)
    try:
        ctypes.CDLL(library_path, mode=os.RTLD_NOW | os.RTLD_NOLOAD)
    except OSError:
        print("unloaded", flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:4])
