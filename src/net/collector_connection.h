#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "net/tls_client_channel.h"
#include "win32/unique_socket.h"

// One stream connection to a collector, plain TCP or TLS, on a non-blocking socket: the
// connect, the TLS handshake, the sending and the reading all advance a step at each
// Service() and never wait, so the thread that owns it (the logger thread, which serves
// every output) is never held up by a collector that is slow, gone or silent. The connect
// and the handshake together must finish within a time limit, or the attempt fails.
//
// Bytes given to Send() are whole units of the caller's protocol: the connection keeps
// any part the socket did not take and sends it before anything newer, so a collector
// never receives part of a frame followed by another frame. What it holds for the socket
// is bounded by the caller, which sends only while CanSend().
//
// Threading: one owner thread; no lock. The socket library must be started (by the owner)
// for as long as a connection is open.
class CollectorConnection {
 public:
  enum class State { kClosed, kConnecting, kHandshaking, kOpen };
  enum class Failure {
    kNone,
    kConnect,       // socket, connect or the connect's completion failed
    kTimedOut,      // connect and handshake did not finish within the time limit
    kHandshake,     // the TLS handshake failed
    kRefused,       // the server's certificate or protocol was refused
    kLost,          // sending or reading failed, or a record could not be handled
    kClosedByPeer,  // the collector ended the connection
  };
  // The caller stops handing over bytes while this many wait for the socket.
  static constexpr std::size_t kOutputHighWater = 64 * 1024;

  CollectorConnection() = default;
  ~CollectorConnection() { Close(); }
  CollectorConnection(const CollectorConnection&) = delete;
  CollectorConnection& operator=(const CollectorConnection&) = delete;

  // Starts connecting to `address` at tick `now`; with `credentials`, TLS follows the
  // connect, checked against `serverName`. False when the attempt failed at once.
  bool Open(const sockaddr_in& address, TlsClientCredentials* credentials, const std::string& serverName, DWORD now,
            DWORD timeLimitMs);
  // One step of whatever is under way. Never waits. Bytes that arrived are then in
  // Received(), also when the step found the connection ended.
  State Service(DWORD now);
  // Open and holding fewer than kOutputHighWater bytes for the socket.
  bool CanSend() const noexcept { return state_ == State::kOpen && PendingOutput() < kOutputHighWater; }
  // Takes `bytes` whole (encrypted under TLS) and sends what the socket takes now. False
  // when the connection is not open or just failed.
  bool Send(std::string_view bytes);
  // What the collector sent (decrypted), for the owner to consume.
  std::string& Received() noexcept { return received_; }
  std::size_t PendingOutput() const noexcept { return output_.size() - outputSent_; }
  // Waits until the socket can be read, or written while output is pending, or until
  // `milliseconds` passed. Only for an owner that may wait: the final drain at close.
  void WaitForProgress(DWORD milliseconds);
  // Ends the connection: under TLS a close_notify goes out if the socket takes it at once.
  void Close();

  State CurrentState() const noexcept { return state_; }
  Failure FailureKind() const noexcept { return failure_; }
  // The socket error or security status of the failure, or 0.
  DWORD FailureCode() const noexcept { return failureCode_; }
  const std::wstring& FailureText() const noexcept { return failureText_; }
  DWORD OpenedAt() const noexcept { return openedAt_; }
  // Set while the socket has something for Service(): the connect completed, bytes
  // arrived, the socket takes bytes again after it was full, or the collector closed.
  // Null while no socket is open. An owner that waits (the logger thread, between its
  // cycles) waits on this too, so acknowledgements and handshakes advance as they come
  // instead of once a cycle; Service() resets it.
  HANDLE ReadinessEvent() const noexcept { return readiness_.get(); }
  // "TLS 1.2" etc. under TLS once open, else empty.
  const wchar_t* ProtocolName() const noexcept { return tls_ ? tls_->ProtocolName() : L""; }

 private:
  void Fail(Failure failure, DWORD code, std::wstring text);
  // Back to closed: the socket, its TLS channel and its event gone, no byte waiting.
  void Reset();
  void FailSocket(Failure failure, const wchar_t* call, int error);
  void CheckConnected();
  bool Flush();
  bool ReadAvailable();
  void TakeIncoming();

  UniqueSocket socket_;
  UniqueHandle readiness_;  // WSACreateEvent's event, tied to socket_ by WSAEventSelect
  std::unique_ptr<TlsClientChannel> tls_;
  State state_ = State::kClosed;
  Failure failure_ = Failure::kNone;
  DWORD failureCode_ = 0;
  std::wstring failureText_;
  DWORD openedAt_ = 0;
  DWORD timeLimitMs_ = 0;
  std::string output_;          // bytes for the socket; the first outputSent_ of them are sent
  std::size_t outputSent_ = 0;
  std::string input_;           // bytes from the socket not yet taken (TLS: not yet whole records)
  std::string received_;        // the collector's bytes, decrypted, for the owner
  bool endOfStream_ = false;    // the collector closed its side
};
