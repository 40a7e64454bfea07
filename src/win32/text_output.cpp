#include "win32/text_output.h"

#include <climits>
#include <memory>

namespace {

// WriteFile and WriteConsoleW may take less than they were given (a pipe or console
// interrupted mid-way); the rest is written on, so a line is never cut short silently.
DWORD WriteAll(HANDLE handle, bool isConsole, const void* data, DWORD units) {
  const auto* at = static_cast<const char*>(data);
  const DWORD unitBytes = isConsole ? sizeof(wchar_t) : 1;
  while (units > 0) {
    DWORD written = 0;
    const BOOL ok = isConsole ? ::WriteConsoleW(handle, at, units, &written, nullptr)
                              : ::WriteFile(handle, at, units, &written, nullptr);
    if (!ok) return ::GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    at += written * unitBytes;
    units -= written;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD WriteTextToHandle(HANDLE handle, bool isConsole, UINT codePage, const wchar_t* text, int length) {
  if (length <= 0) return ERROR_SUCCESS;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  if (isConsole) return WriteAll(handle, true, text, static_cast<DWORD>(length));
  if (length > INT_MAX / 4) return ERROR_ARITHMETIC_OVERFLOW;
  // UTF-8 refuses a default character: it needs none.
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
  if (count <= 0) return ::GetLastError();
  return WriteAll(handle, false, bytes, static_cast<DWORD>(count));
}

bool IsConsoleHandle(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}
