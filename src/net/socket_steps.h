#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <string>

// The steps every stream to a collector takes on its socket the same way, the plain
// syslog lines and the collector links alike.

// "a.b.c.d": the address of an IPv4 socket address, as the connection messages name it.
std::wstring DottedAddress(const sockaddr_in& address);

// Sends from `bytes` until all `length` of them went or a non-blocking socket is full.
// Answers the bytes sent; `error` is 0 when the send stopped for either of those
// reasons, else the socket's error, and the connection is gone.
std::size_t SendWhatFits(SOCKET socket, const char* bytes, std::size_t length, int& error);

// Where a non-blocking connect stands after waiting up to `waitMs` for it. A refused or
// unreachable collector shows on the exception set, with the reason as the socket's error.
struct ConnectProgress {
  enum Outcome { kPending, kConnected, kFailed };
  Outcome outcome = kPending;
  int error = 0;                 // kFailed: the reason
  const wchar_t* call = nullptr;  // kFailed: the call that told it
};
ConnectProgress AwaitConnect(SOCKET socket, DWORD waitMs);
