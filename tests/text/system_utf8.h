#pragma once

#include <windows.h>

#include <string>

// The system's own UTF-8 form of a sequence of units: what our converters are held to.
inline std::string SystemUtf8(const std::wstring& units) {
  if (units.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, units.data(), static_cast<int>(units.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, units.data(), static_cast<int>(units.size()), bytes.data(),
                        size, nullptr, nullptr);
  return bytes;
}
