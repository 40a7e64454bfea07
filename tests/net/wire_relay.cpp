// What anyone on the path between a client and its collector sees: a relay on loopback
// that takes one connection, passes the bytes both ways to the collector, and appends
// every byte the client sent to a file. It ends when either side closes.
//
//   wire_relay <listen port> <collector port> <file> [cut-after BYTES]
//
// collector_test.sh reads the file for the message text. With cut-after, the relay plays
// a network that fails: once it has passed BYTES of the client's, it swallows the
// collector's answers for half a second (the client's frames still go through), then
// resets both connections, so the collector keeps frames whose acknowledgements the
// client never saw.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Passes what `from` has to `to` (or, with a null `to`, swallows it); false when `from`
// closed or either failed. Adds the bytes to *passed.
bool Pass(SOCKET from, SOCKET to, std::FILE* record, unsigned long long* passed = nullptr) {
  char bytes[16 * 1024];
  const int count = ::recv(from, bytes, sizeof(bytes), 0);
  if (count <= 0) return false;
  if (passed != nullptr) *passed += static_cast<unsigned long long>(count);
  if (to == INVALID_SOCKET) return true;
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

// Ends a connection with a reset, as a failing network does, and leaves no TIME_WAIT
// behind on the relay's port, so the next relay can listen there at once.
void Reset(SOCKET socket) {
  const linger abortive{1, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof(abortive));
}

}  // namespace

int main(int argc, char** argv) {
  const bool cuts = argc == 6 && std::strcmp(argv[4], "cut-after") == 0;
  if (argc != 4 && !cuts) {
    std::fprintf(stderr, "usage: wire_relay <listen port> <collector port> <file> [cut-after BYTES]\n");
    return 2;
  }
  const unsigned long long cutAfter = cuts ? std::strtoull(argv[5], nullptr, 10) : 0;
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
  unsigned long long passed = 0;
  ULONGLONG cutAt = 0;  // when the answers began to be swallowed
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client.get(), &readable);
    FD_SET(collector.get(), &readable);
    timeval step{0, 50 * 1000};
    if (::select(0, &readable, nullptr, nullptr, cuts ? &step : nullptr) == SOCKET_ERROR) return 1;
    if (cuts && cutAt == 0 && passed >= cutAfter) cutAt = ::GetTickCount64();
    if (cutAt != 0 && ::GetTickCount64() - cutAt >= 500) {
      Reset(client.get());
      Reset(collector.get());
      std::printf("wire_relay: cut after %llu bytes\n", passed);
      return 0;
    }
    if (FD_ISSET(client.get(), &readable) && !Pass(client.get(), collector.get(), record.get(), &passed)) break;
    if (FD_ISSET(collector.get(), &readable) &&
        !Pass(collector.get(), cutAt != 0 ? INVALID_SOCKET : client.get(), nullptr)) {
      break;
    }
  }
  return 0;
}
