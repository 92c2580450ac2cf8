// Test-only base for tests that run code on the kernel stand-in: a fresh machine per test, and at the end
// of every test no unchecked fault may remain. A test that provokes a fault takes it with TakeFaults().
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/kernel/sim/kernel.h"

class KernelFixture : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_THAT(kernel.Faults(), ::testing::IsEmpty()); }

  // The faults recorded so far must be exactly one, containing the given text; they are then forgotten.
  void ExpectOneFault(const std::string& text) {
    auto faults = kernel.TakeFaults();
    ASSERT_EQ(faults.size(), 1u) << ::testing::PrintToString(faults);
    EXPECT_THAT(faults[0], ::testing::HasSubstr(text));
  }

  static LARGE_INTEGER Relative(ksim::Time t) {
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
  }

  ksim::Kernel kernel;
};
