#include "net/collector_connection.h"

#include "diagnostics/system_error_text.h"
#include "net/socket_steps.h"

namespace {

constexpr int kReadChunkBytes = 16 * 1024;
// One Service() reads at most this much, so a collector that floods us cannot hold the
// thread in the reading loop.
constexpr std::size_t kReadPerServiceBytes = 256 * 1024;

std::wstring Milliseconds(DWORD value) { return std::to_wstring(value) + L" ms"; }

}  // namespace

void CollectorConnection::Fail(Failure failure, DWORD code, std::wstring text) {
  failure_ = failure;
  failureCode_ = code;
  failureText_ = std::move(text);
  Reset();
}

void CollectorConnection::Reset() {
  tls_.reset();
  socket_.reset();
  readiness_.reset();
  state_ = State::kClosed;
  output_.clear();
  outputSent_ = 0;
  input_.clear();
}

void CollectorConnection::FailSocket(Failure failure, const wchar_t* call, int error) {
  Fail(failure, static_cast<DWORD>(error), Win32CallError(call, static_cast<DWORD>(error)));
}

bool CollectorConnection::Open(const sockaddr_in& address, TlsClientCredentials* credentials,
                               const std::string& serverName, DWORD now, DWORD timeLimitMs) {
  Close();
  failure_ = Failure::kNone;
  failureCode_ = 0;
  failureText_.clear();
  received_.clear();
  endOfStream_ = false;
  openedAt_ = now;
  timeLimitMs_ = timeLimitMs;

  socket_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!socket_) {
    FailSocket(Failure::kConnect, L"socket", ::WSAGetLastError());
    return false;
  }
  // WSAEventSelect also makes the socket non-blocking.
  readiness_.reset(::WSACreateEvent());
  if (!readiness_) {
    FailSocket(Failure::kConnect, L"WSACreateEvent", ::WSAGetLastError());
    return false;
  }
  if (::WSAEventSelect(socket_.get(), readiness_.get(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
    FailSocket(Failure::kConnect, L"WSAEventSelect", ::WSAGetLastError());
    return false;
  }
  // Frames are whole when they are handed over; holding them back for more only delays
  // the collector's answers.
  const BOOL noDelay = TRUE;
  ::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
  if (credentials != nullptr) tls_ = std::make_unique<TlsClientChannel>(*credentials, serverName);

  state_ = State::kConnecting;
  if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      FailSocket(Failure::kConnect, L"connect", error);
      return false;
    }
    return true;
  }
  CheckConnected();
  return state_ != State::kClosed;
}

void CollectorConnection::CheckConnected() {
  const ConnectProgress progress = AwaitConnect(socket_.get(), 0);
  if (progress.outcome == ConnectProgress::kPending) return;
  if (progress.outcome == ConnectProgress::kFailed) {
    FailSocket(Failure::kConnect, progress.call, progress.error);
    return;
  }
  if (!tls_) {
    state_ = State::kOpen;
    return;
  }
  state_ = State::kHandshaking;
  if (tls_->Start(output_) == TlsClientChannel::Progress::kFailed) {
    Fail(Failure::kHandshake, 0, tls_->FailureText());
  }
}

bool CollectorConnection::Flush() {
  int error = 0;
  outputSent_ += SendWhatFits(socket_.get(), output_.data() + outputSent_, output_.size() - outputSent_, error);
  if (error != 0) {
    FailSocket(Failure::kLost, L"send", error);
    return false;
  }
  // The sent part is dropped once it outweighs the rest, so each byte moves O(1) times.
  if (outputSent_ == output_.size()) {
    output_.clear();
    outputSent_ = 0;
  } else if (outputSent_ > output_.size() / 2) {
    output_.erase(0, outputSent_);
    outputSent_ = 0;
  }
  return true;
}

bool CollectorConnection::ReadAvailable() {
  char chunk[kReadChunkBytes];
  std::size_t readNow = 0;
  while (!endOfStream_ && readNow < kReadPerServiceBytes) {
    const int count = ::recv(socket_.get(), chunk, sizeof(chunk), 0);
    if (count > 0) {
      input_.append(chunk, static_cast<std::size_t>(count));
      readNow += static_cast<std::size_t>(count);
      continue;
    }
    if (count == 0) {
      endOfStream_ = true;
      break;
    }
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) break;
    FailSocket(Failure::kLost, L"recv", error);
    return false;
  }
  return true;
}

// Moves what arrived to received_: as it is over plain TCP, decrypted under TLS.
void CollectorConnection::TakeIncoming() {
  if (!tls_) {
    received_.append(input_);
    input_.clear();
    return;
  }
  switch (tls_->Decrypt(input_, received_, output_)) {
    case TlsClientChannel::Reading::kOpen:
      return;
    case TlsClientChannel::Reading::kClosedByPeer:
      endOfStream_ = true;
      return;
    case TlsClientChannel::Reading::kFailed:
      Fail(Failure::kLost, 0, tls_->FailureText());
      return;
  }
}

CollectorConnection::State CollectorConnection::Service(DWORD now) {
  if (state_ == State::kClosed) return state_;
  // Resets the readiness event: whatever set it is handled below, and what comes after
  // sets it again.
  WSANETWORKEVENTS events;
  ::WSAEnumNetworkEvents(socket_.get(), readiness_.get(), &events);
  if (state_ == State::kConnecting) CheckConnected();
  if (state_ != State::kClosed && state_ != State::kConnecting) {
    if (Flush() && ReadAvailable()) {
      if (state_ == State::kHandshaking) {
        const TlsClientChannel::Progress progress = tls_->Continue(input_, output_);
        if (progress == TlsClientChannel::Progress::kFailed) {
          Fail(tls_->FailureKind() == TlsClientChannel::Failure::kRefused ? Failure::kRefused : Failure::kHandshake, 0,
               tls_->FailureText());
        } else if (progress == TlsClientChannel::Progress::kEstablished) {
          state_ = State::kOpen;
        }
        if (state_ != State::kClosed) Flush();
      }
      if (state_ == State::kOpen) {
        TakeIncoming();
        if (state_ == State::kOpen) Flush();
      }
    }
  }
  if (state_ == State::kConnecting || state_ == State::kHandshaking) {
    if (endOfStream_) {
      Fail(Failure::kHandshake, 0, L"the collector closed the connection during the TLS handshake");
    } else if (now - openedAt_ >= timeLimitMs_) {
      Fail(Failure::kTimedOut, WSAETIMEDOUT,
           std::wstring(state_ == State::kConnecting ? L"no connection" : L"no TLS handshake") + L" within " +
               Milliseconds(timeLimitMs_));
    }
  } else if (state_ == State::kOpen && endOfStream_) {
    Fail(Failure::kClosedByPeer, 0, L"the collector closed the connection");
  }
  return state_;
}

bool CollectorConnection::Send(std::string_view bytes) {
  if (state_ != State::kOpen) return false;
  if (tls_) {
    if (!tls_->Encrypt(bytes, output_)) {
      Fail(Failure::kLost, 0, tls_->FailureText());
      return false;
    }
  } else {
    output_.append(bytes);
  }
  return Flush();
}

void CollectorConnection::WaitForProgress(DWORD milliseconds) {
  if (!socket_) return;
  fd_set readable;
  fd_set writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_SET(socket_.get(), &readable);
  if (PendingOutput() > 0 || state_ == State::kConnecting) FD_SET(socket_.get(), &writable);
  timeval wait{static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000};
  ::select(0, &readable, &writable, nullptr, &wait);
}

void CollectorConnection::Close() {
  // The alert goes only if the socket takes it at once; a close never waits and never
  // counts as a failure.
  if (state_ == State::kOpen && tls_ && PendingOutput() == 0) {
    std::string alert;
    tls_->Shutdown(alert);
    if (!alert.empty()) ::send(socket_.get(), alert.data(), static_cast<int>(alert.size()), 0);
  }
  Reset();
}
