#include "logging/host_name.h"

#include <windows.h>

#include <iterator>

std::wstring UpperCaseHostName() {
  // A DNS host name holds up to 63 characters; the buffer leaves room for more.
  wchar_t name[256] = {};
  DWORD length = static_cast<DWORD>(std::size(name));
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return {};
  std::wstring host(name, length);
  // Only a-z: a name's other letters are kept as the system gives them.
  for (wchar_t& c : host) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return host;
}
