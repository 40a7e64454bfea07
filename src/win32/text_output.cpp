#include "win32/text_output.h"

#include <memory>

void WriteTextToHandle(HANDLE handle, bool isConsole, UINT codePage, const wchar_t* text, int length) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || length <= 0) return;
  DWORD written = 0;
  if (isConsole) {
    ::WriteConsoleW(handle, text, static_cast<DWORD>(length), &written, nullptr);
    return;
  }
  // UTF-8 has a form for every character and refuses a default one.
  const char* fallback = codePage == CP_UTF8 ? nullptr : "?";
  char stackBytes[4096];
  std::unique_ptr<char[]> heapBytes;
  char* bytes = stackBytes;
  const int capacity = length * 4;  // the most any code page takes per character
  if (capacity > static_cast<int>(sizeof(stackBytes))) {
    heapBytes = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
    bytes = heapBytes.get();
  }
  const int count = ::WideCharToMultiByte(codePage, 0, text, length, bytes, capacity, fallback, nullptr);
  if (count > 0) ::WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr);
}

bool IsConsoleHandle(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}
