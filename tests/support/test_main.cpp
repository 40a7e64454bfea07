// The entry of every test program. It ends a run with a line the test runner looks for:
// under Wine a program that dies of a fault can leave the exit status at 0, and the
// "Unhandled" line Wine prints for it cannot tell the program from a child it started, so
// a test passes only when the program itself got to the end and every test passed.

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // The test listing is parsed line by line; it gets nothing extra.
  if (!GTEST_FLAG_GET(list_tests)) {
    std::printf("[ test program end: %s ]\n", result == 0 ? "all passed" : "failures");
    std::fflush(stdout);
  }
  return result;
}
