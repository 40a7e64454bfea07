#include "diagnostics/library_loading.h"

#include <gtest/gtest.h>

namespace {

LONG WINAPI MarkerFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI HoldersFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

class FilterHolder : public UnhandledFilterHolder {
 public:
  LPTOP_LEVEL_EXCEPTION_FILTER exceptionFilter() const override { return &HoldersFilter; }
};

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
  const LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(nullptr);
  ::SetUnhandledExceptionFilter(current);
  return current;
}

// Each test installs a marker filter in place of the process's own and puts that back.
class LoadLibraryKeepingFilterTest : public testing::Test {
 protected:
  void SetUp() override { original_ = ::SetUnhandledExceptionFilter(&MarkerFilter); }
  void TearDown() override {
    RegisterFilterHolder(nullptr);
    ::SetUnhandledExceptionFilter(original_);
  }

  LPTOP_LEVEL_EXCEPTION_FILTER original_ = nullptr;
};

TEST_F(LoadLibraryKeepingFilterTest, WithoutAHolderItIsLoadLibraryA) {
  ASSERT_EQ(RegisteredFilterHolder(), nullptr);
  HMODULE module = LoadLibraryKeepingFilter("version.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module, ::GetModuleHandleA("version.dll"));
  ::FreeLibrary(module);

  EXPECT_EQ(LoadLibraryKeepingFilter("varrowmere-no-such-library.dll"), nullptr);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(CurrentFilter(), &MarkerFilter);
}

TEST_F(LoadLibraryKeepingFilterTest, ARegisteredHoldersFilterIsPutBackAfterALoad) {
  FilterHolder holder;
  RegisterFilterHolder(&holder);

  EXPECT_EQ(LoadLibraryKeepingFilter("varrowmere-no-such-library.dll"), nullptr);
  EXPECT_EQ(CurrentFilter(), &MarkerFilter) << "a library that does not load leaves the filter alone";

  HMODULE module = LoadLibraryKeepingFilter("version.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(CurrentFilter(), &HoldersFilter);
  ::FreeLibrary(module);
}

}  // namespace
