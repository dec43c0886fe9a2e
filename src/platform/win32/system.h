// SPDX-License-Identifier: MIT
// The Windows headers, in the order they need: Winsock 2 before windows.h.
// Included only by the files of this folder.
#pragma once

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
// clang-format on
