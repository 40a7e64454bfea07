#include "diagnostics/new_handler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>

namespace {

void* AllocateImpossibly() {
  // More than any address space holds; volatile so the compiler cannot see the size.
  volatile std::size_t size = SIZE_MAX / 2;
  return ::operator new(size);
}

TEST(NewHandler, ImpossibleAllocationThrowsBadAllocation) {
  ASSERT_EQ(std::get_new_handler(), &ThrowBadAllocation) << "installed during start-up";
  try {
    void* never = AllocateImpossibly();
    ::operator delete(never);
    FAIL() << "the allocation succeeded";
  } catch (const std::bad_alloc& error) {
    EXPECT_EQ(std::string(error.what()), "bad allocation");
  }
}

TEST(NewHandler, InstallationPutsThePreviousHandlerBack) {
  const std::new_handler before = std::set_new_handler(nullptr);
  {
    NewHandlerInstallation installation;
    EXPECT_EQ(installation.Previous(), nullptr);
    EXPECT_EQ(std::get_new_handler(), &ThrowBadAllocation);
  }
  EXPECT_EQ(std::get_new_handler(), nullptr);
  std::set_new_handler(before);
}

}  // namespace
