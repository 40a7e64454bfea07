#include "net/socket_steps.h"

#include <algorithm>
#include <climits>
#include <cstring>

std::wstring DottedAddress(const sockaddr_in& address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address.sin_addr, sizeof(bytes));
  return std::to_wstring(bytes[0]) + L"." + std::to_wstring(bytes[1]) + L"." + std::to_wstring(bytes[2]) + L"." +
         std::to_wstring(bytes[3]);
}

std::size_t SendWhatFits(SOCKET socket, const char* bytes, std::size_t length, int& error) {
  error = 0;
  std::size_t sent = 0;
  while (sent < length) {
    const int count = ::send(socket, bytes + sent, static_cast<int>(std::min<std::size_t>(length - sent, INT_MAX)), 0);
    if (count > 0) {
      sent += static_cast<std::size_t>(count);
      continue;
    }
    const int failure = ::WSAGetLastError();
    if (failure != WSAEWOULDBLOCK) error = failure;
    break;
  }
  return sent;
}

ConnectProgress AwaitConnect(SOCKET socket, DWORD waitMs) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  timeval wait{static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
  if (::select(0, nullptr, &writable, &failed, &wait) == SOCKET_ERROR) {
    return {ConnectProgress::kFailed, ::WSAGetLastError(), L"select"};
  }
  if (!FD_ISSET(socket, &writable) && !FD_ISSET(socket, &failed)) return {};
  int error = 0;
  int length = sizeof(error);
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    error = ::WSAGetLastError();
  }
  if (error == 0 && FD_ISSET(socket, &failed)) error = WSAECONNREFUSED;
  if (error != 0) return {ConnectProgress::kFailed, error, L"connect"};
  return {ConnectProgress::kConnected, 0, nullptr};
}
