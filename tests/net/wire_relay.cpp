// What anyone on the path between a client and its collector sees: a relay on loopback
// that takes one connection, passes the bytes both ways to the collector, and appends
// every byte the client sent to a file. It ends when either side closes.
//
//   wire_relay <listen port> <collector port> <file>
//
// collector_test.sh reads the file for the message text.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "win32/unique_resource.h"
#include "win32/unique_socket.h"

namespace {

sockaddr_in Loopback(unsigned port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
  return address;
}

// Passes what `from` has to `to`; false when `from` closed or either failed.
bool Pass(SOCKET from, SOCKET to, std::FILE* record) {
  char bytes[16 * 1024];
  const int count = ::recv(from, bytes, sizeof(bytes), 0);
  if (count <= 0) return false;
  if (record != nullptr) {
    std::fwrite(bytes, 1, static_cast<std::size_t>(count), record);
    std::fflush(record);
  }
  for (int sent = 0; sent < count;) {
    const int now = ::send(to, bytes + sent, count - sent, 0);
    if (now <= 0) return false;
    sent += now;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: wire_relay <listen port> <collector port> <file>\n");
    return 2;
  }
  const SocketLibrary sockets;
  const UniqueCrtFile record(std::fopen(argv[3], "wb"));
  UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  const sockaddr_in listenAddress = Loopback(std::strtoul(argv[1], nullptr, 10));
  if (!sockets.Started() || !record || !listener ||
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&listenAddress), sizeof(listenAddress)) != 0 ||
      ::listen(listener.get(), 1) != 0) {
    std::fprintf(stderr, "wire_relay: cannot listen on port %s\n", argv[1]);
    return 1;
  }
  const UniqueSocket client(::accept(listener.get(), nullptr, nullptr));
  listener.reset();
  const UniqueSocket collector(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  const sockaddr_in collectorAddress = Loopback(std::strtoul(argv[2], nullptr, 10));
  if (!client || !collector ||
      ::connect(collector.get(), reinterpret_cast<const sockaddr*>(&collectorAddress), sizeof(collectorAddress)) != 0) {
    std::fprintf(stderr, "wire_relay: cannot reach the collector on port %s\n", argv[2]);
    return 1;
  }
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client.get(), &readable);
    FD_SET(collector.get(), &readable);
    if (::select(0, &readable, nullptr, nullptr, nullptr) == SOCKET_ERROR) return 1;
    if (FD_ISSET(client.get(), &readable) && !Pass(client.get(), collector.get(), record.get())) break;
    if (FD_ISSET(collector.get(), &readable) && !Pass(collector.get(), client.get(), nullptr)) break;
  }
  return 0;
}
