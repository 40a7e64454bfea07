#include "net/collector_link.h"

#include <algorithm>
#include <cctype>

#include "net/octet_counted_frame.h"
#include "net/socket_steps.h"

namespace {

// Frames go to the connection in batches of about this size: under TLS one record each,
// instead of one record per line.
constexpr std::size_t kBatchBytes = 16 * 1024;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::wstring WidenAscii(std::string_view text) { return std::wstring(text.begin(), text.end()); }


constexpr struct {
  std::string_view marker;
  CollectorKind kind;
} kKindMarkers[] = {
    {"/tls", CollectorKind::kTls},
    {"/relp", CollectorKind::kRelp},
    {"/relp+tls", CollectorKind::kRelpOverTls},
};

}  // namespace

std::optional<CollectorKind> CollectorKindOf(std::string_view marker) {
  for (const auto& entry : kKindMarkers) {
    if (SameIgnoringCase(marker, entry.marker)) return entry.kind;
  }
  return std::nullopt;
}

std::string_view CollectorKindMarker(CollectorKind kind) {
  for (const auto& entry : kKindMarkers) {
    if (entry.kind == kind) return entry.marker;
  }
  return {};
}

CollectorLink::CollectorLink(CollectorLinkSettings settings)
    : settings_(std::move(settings)),
      session_(settings_.relpWindow, settings_.heldByteLimit),
      lines_(settings_.heldByteLimit) {}

std::size_t CollectorLink::HeldCount() const noexcept { return IsRelp() ? session_.HeldCount() : lines_.Count(); }

std::uint64_t CollectorLink::Delivered() const noexcept { return IsRelp() ? session_.Acknowledged() : handedOver_; }

std::uint64_t CollectorLink::Dropped() const noexcept { return IsRelp() ? session_.Dropped() : lines_.DroppedTotal(); }

std::wstring CollectorLink::Peer() const {
  // Before the first connect the owner has not resolved the host yet.
  if (address_.sin_family == 0) return WidenAscii(settings_.serverName);
  return DottedAddress(address_) + L":" + std::to_wstring(::ntohs(address_.sin_port));
}

void CollectorLink::Notify(CollectorNotice::Kind kind, DWORD code, std::wstring text) {
  notices_.push_back(CollectorNotice{kind, code, std::move(text)});
}

bool CollectorLink::TakeNotice(CollectorNotice& notice) {
  if (notices_.empty()) return false;
  notice = std::move(notices_.front());
  notices_.pop_front();
  return true;
}

void CollectorLink::NotifyFailure(CollectorNotice::Kind kind, DWORD code, const std::wstring& text) {
  // A collector that stays down fails the same way at every cycle: told once.
  if (text == lastFailure_) return;
  lastFailure_ = text;
  const wchar_t* what = kind == CollectorNotice::Kind::kRefused ? L"Refused " : L"Connect failed to ";
  Notify(kind, code, what + Peer() + L": " + text);
}

bool CollectorLink::NeedsConnect(DWORD now) const {
  if (connectionActive_) return false;
  if (LacksCredentials()) return !refusedWithoutCredentials_;
  return !waitingToRetry_ || static_cast<LONG>(now - retryAt_) >= 0;
}

void CollectorLink::Connect(const sockaddr_in& address, DWORD now) {
  if (connectionActive_) return;
  address_ = address;
  if (LacksCredentials()) {
    if (!refusedWithoutCredentials_) {
      refusedWithoutCredentials_ = true;
      Notify(CollectorNotice::Kind::kRefused, 0,
             L"Refused " + Peer() + L": a TLS collector needs a CA to check it by; nothing goes to it in clear");
    }
    return;
  }
  waitingToRetry_ = false;
  ready_ = false;
  connectionActive_ = true;
  connection_.Open(address, UsesTls(settings_.kind) ? settings_.credentials : nullptr, settings_.serverName, now,
                   settings_.connectTimeLimitMs);
  // A connect on loopback may be complete at once; a failed one is handled here too.
  Service(now);
}

void CollectorLink::BecameReady() {
  ready_ = true;
  lastFailure_.clear();
  std::wstring how;
  switch (settings_.kind) {
    case CollectorKind::kTls:
      how = connection_.ProtocolName();
      break;
    case CollectorKind::kRelp:
      how = L"RELP";
      break;
    case CollectorKind::kRelpOverTls:
      how = std::wstring(L"RELP over ") + connection_.ProtocolName();
      break;
  }
  Notify(CollectorNotice::Kind::kConnected, 0, L"Connected to " + Peer() + L" (" + how + L")");
}

void CollectorLink::ConnectionEnded(CollectorNotice::Kind failedKind, DWORD code, const std::wstring& text) {
  const bool wasReady = ready_;
  Close();
  if (wasReady) {
    Notify(CollectorNotice::Kind::kLost, code, L"Connection lost to " + Peer() + L": " + text);
  } else {
    NotifyFailure(failedKind, code, text);
  }
}

void CollectorLink::TakeAnswers(DWORD now) {
  std::string& received = connection_.Received();
  if (!received.empty()) {
    const RelpSession::Outcome outcome = session_.Receive(received);
    received.clear();
    switch (outcome) {
      case RelpSession::Outcome::kNothingNew:
        break;
      case RelpSession::Outcome::kOpened:
        BecameReady();
        break;
      case RelpSession::Outcome::kClosed:
        // Our own close, answered: the end of a Finish.
        Close();
        break;
      case RelpSession::Outcome::kServerClosed:
        ConnectionEnded(CollectorNotice::Kind::kConnectFailed, 0, L"the collector closed the RELP session");
        break;
      case RelpSession::Outcome::kBroken:
        ConnectionEnded(CollectorNotice::Kind::kConnectFailed, 0, WidenAscii(session_.Problem()));
        break;
    }
  }
  if (session_.Refused() != refusedSeen_) {
    refusedSeen_ = session_.Refused();
    Notify(CollectorNotice::Kind::kLineRefused, 0,
           L"The collector " + Peer() + L" refused a line: " + WidenAscii(session_.LastRefusal()));
  }
  if (connectionActive_ && session_.CurrentPhase() == RelpSession::Phase::kOpening &&
      now - connection_.OpenedAt() >= settings_.connectTimeLimitMs) {
    ConnectionEnded(CollectorNotice::Kind::kConnectFailed, WSAETIMEDOUT,
                    L"no answer to the RELP open within " + std::to_wstring(settings_.connectTimeLimitMs) + L" ms");
  }
}

void CollectorLink::SendHeld() {
  if (!ready_) return;
  std::string batch;
  while (connection_.CanSend()) {
    batch.clear();
    if (IsRelp()) {
      if (session_.AppendFrames(batch, kBatchBytes) == 0) return;
    } else {
      while (!lines_.Empty() && batch.size() < kBatchBytes) {
        AppendOctetCountedFrame(batch, lines_.Front());
        lines_.PopFront();
        ++handedOver_;
      }
      if (batch.empty()) return;
    }
    if (!connection_.Send(batch)) return;
  }
}

void CollectorLink::Service(DWORD now) {
  if (!connectionActive_) return;
  if (connection_.Service(now) == CollectorConnection::State::kOpen) {
    if (!IsRelp()) {
      if (!ready_) BecameReady();
    } else if (session_.CurrentPhase() == RelpSession::Phase::kIdle) {
      std::string open;
      session_.Begin(open);
      connection_.Send(open);
    }
  }
  // Answers that came with the end of a connection still count.
  if (IsRelp()) TakeAnswers(now);
  if (connectionActive_) SendHeld();
  if (!connectionActive_ || connection_.CurrentState() != CollectorConnection::State::kClosed) return;

  CollectorNotice::Kind kind = CollectorNotice::Kind::kConnectFailed;
  if (connection_.FailureKind() == CollectorConnection::Failure::kRefused) {
    kind = CollectorNotice::Kind::kRefused;
    waitingToRetry_ = true;
    retryAt_ = now + kRetryAfterRefusalMs;
  }
  const std::wstring text = connection_.FailureText();
  ConnectionEnded(kind, connection_.FailureCode(), text);
}

void CollectorLink::CountDrops(const HeldMessages::PushOutcome& outcome) {
  if (!outcome.dropRunBegan) return;
  const std::size_t limit = IsRelp() ? settings_.heldByteLimit : lines_.ByteLimit();
  Notify(CollectorNotice::Kind::kDropping, 0,
         L"The lines held for " + Peer() + L" reached " + std::to_wstring(limit) +
             L" bytes: the oldest are dropped");
}

void CollectorLink::Write(std::string_view line, DWORD now) {
  if (LacksCredentials()) return;
  CountDrops(IsRelp() ? session_.Hold(line) : lines_.Push(line, 0));
  // A batch at a time: under TLS one record for many lines, and one look for answers.
  const std::size_t unsent = IsRelp() ? session_.UnsentBytes() : lines_.Bytes();
  if (unsent >= kBatchBytes) Service(now);
}

void CollectorLink::Finish(DWORD timeLimitMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    const DWORD now = ::GetTickCount();
    Service(now);
    if (!connectionActive_) break;
    if (ready_) {
      if (!IsRelp()) {
        if (lines_.Empty() && connection_.PendingOutput() == 0) break;
      } else if (session_.CurrentPhase() == RelpSession::Phase::kOpen && session_.HeldCount() == 0) {
        std::string close;
        session_.Close(close);
        connection_.Send(close);
      }
    }
    const DWORD elapsed = now - start;
    if (elapsed >= timeLimitMs) break;
    connection_.WaitForProgress(std::min<DWORD>(timeLimitMs - elapsed, 50));
  }
  Close();
}

void CollectorLink::Close() {
  connection_.Close();
  session_.End();
  connectionActive_ = false;
  ready_ = false;
}
