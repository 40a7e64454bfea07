// Another program that holds a file open and shares it with nobody, until its standard
// input ends: the obstacle a log file meets when some other tool locks it.
//   file_holder <path>      prints "held" once the file is held, "failed" if it cannot be

#include <windows.h>

#include "win32/unique_resource.h"

namespace {

void Say(const char* text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  UniqueFileHandle held(
      ::CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!held) {
    Say("failed\n");
    return 1;
  }
  Say("held\n");
  char chunk[64];
  DWORD got = 0;
  while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
  }
  return 0;
}
