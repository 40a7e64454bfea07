#include "win32/text_output.h"

#include <climits>

DWORD WriteUnitsToHandle(HANDLE handle, bool isConsole, const void* units, DWORD count, DWORD* unitsWritten) {
  *unitsWritten = 0;
  if (count == 0) return ERROR_SUCCESS;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  // WriteFile and WriteConsoleW may take less than they were given (a pipe or console
  // interrupted mid-way); the rest is written on, so text is never cut short silently.
  const auto* at = static_cast<const char*>(units);
  const DWORD unitBytes = isConsole ? sizeof(wchar_t) : 1;
  while (*unitsWritten < count) {
    const DWORD left = count - *unitsWritten;
    DWORD written = 0;
    const BOOL ok = isConsole ? ::WriteConsoleW(handle, at, left, &written, nullptr)
                              : ::WriteFile(handle, at, left, &written, nullptr);
    if (!ok) return ::GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    at += written * unitBytes;
    *unitsWritten += written;
  }
  return ERROR_SUCCESS;
}

int EncodeForHandle(UINT codePage, const wchar_t* text, int length, std::vector<char>* bytes) {
  if (length <= 0) return 0;
  if (length > INT_MAX / 4) {
    ::SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  const std::size_t capacity = static_cast<std::size_t>(length) * 4;  // the most any code page takes per character
  if (bytes->size() < capacity) bytes->resize(capacity);
  // UTF-8 refuses a default character: it needs none.
  const char* fallback = codePage == CP_UTF8 ? nullptr : "?";
  return ::WideCharToMultiByte(codePage, 0, text, length, bytes->data(), static_cast<int>(capacity), fallback,
                               nullptr);
}

DWORD WriteTextToHandle(HANDLE handle, bool isConsole, UINT codePage, const wchar_t* text, int length) {
  if (length <= 0) return ERROR_SUCCESS;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  DWORD written = 0;
  if (isConsole) return WriteUnitsToHandle(handle, true, text, static_cast<DWORD>(length), &written);
  std::vector<char> bytes;
  const int count = EncodeForHandle(codePage, text, length, &bytes);
  if (count <= 0) return ::GetLastError();
  return WriteUnitsToHandle(handle, false, bytes.data(), static_cast<DWORD>(count), &written);
}

bool IsConsoleHandle(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}
