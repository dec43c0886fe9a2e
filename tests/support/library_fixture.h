// SPDX-License-Identifier: MIT
// A freshly loaded library for each test, unloaded (closing every open
// port) and with every injected fault cleared at its end.
#pragma once

#include <gtest/gtest.h>

#include "core/last_error.h"
#include "platform/fault_injection.h"
#include "port/port_table.h"

namespace zortcp::testing {

class LoadedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::faults::ClearAll();
    LibraryLoad();
  }
  void TearDown() override {
    platform::faults::ClearAll();
    LibraryUnload();
  }
};

}  // namespace zortcp::testing
