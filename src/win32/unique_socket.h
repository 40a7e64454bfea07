#pragma once

#include <winsock2.h>
#include <windows.h>

#include "win32/unique_resource.h"

// Sockets live apart from the other owners: only the code that talks to the network
// should have to see the socket library's header.
struct SocketTraits {
  using pointer = SOCKET;
  static pointer none() noexcept { return INVALID_SOCKET; }
  static void close(pointer socket) noexcept { ::closesocket(socket); }
};

using UniqueSocket = UniqueResource<SocketTraits>;

// One reference to the socket library (Windows Sockets 1.1) for as long as it lives.
// started() tells whether the library accepted the start; only then is it stopped again.
class SocketLibrary {
 public:
  SocketLibrary() noexcept {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
  }
  ~SocketLibrary() {
    if (started_) ::WSACleanup();
  }
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;

  bool Started() const noexcept { return started_; }

 private:
  bool started_ = false;
};
