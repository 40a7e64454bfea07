#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "net/collector_connection.h"
#include "net/held_messages.h"
#include "net/relp_session.h"
#include "net/tls_credentials.h"

// The collector kinds that go beyond the plain UDP and TCP lines, as a collector list's
// entry marks them after its port.
enum class CollectorKind {
  kTls,          // "/tls": RFC 5425, TLS then octet-counted frames
  kRelp,         // "/relp": RELP over plain TCP
  kRelpOverTls,  // "/relp+tls": RELP inside TLS
};

// The kind an entry's marker names ("/tls", "/relp", "/relp+tls", in any case), or none.
std::optional<CollectorKind> CollectorKindOf(std::string_view marker);
// The marker of a kind as the list gives it in lower case: "/tls", "/relp", "/relp+tls".
std::string_view CollectorKindMarker(CollectorKind kind);
inline bool UsesTls(CollectorKind kind) { return kind != CollectorKind::kRelp; }

struct CollectorLinkSettings {
  static constexpr DWORD kDefaultConnectTimeLimitMs = 3000;
  static constexpr std::size_t kDefaultHeldByteLimit = 4 * 1024 * 1024;

  CollectorKind kind = CollectorKind::kRelp;
  // The host as the collector list names it: what the server's certificate must be
  // issued for (a name, or a dotted IPv4 address).
  std::string serverName;
  // For the TLS kinds, shared by the owner's links and kept alive by the owner. A TLS
  // link without them never connects: nothing goes in clear.
  TlsClientCredentials* credentials = nullptr;
  // The connect, the TLS handshake and the RELP open must be done within this time.
  DWORD connectTimeLimitMs = kDefaultConnectTimeLimitMs;
  // The lines held for the collector, in bytes; beyond it the oldest are dropped.
  std::size_t heldByteLimit = kDefaultHeldByteLimit;
  std::size_t relpWindow = RelpSession::kDefaultWindow;
};

// Something about a link its owner should tell (as a [DIAG] line), in the order it
// happened. Failures to connect are told once for each run of the same reason; a lost
// connection every time.
struct CollectorNotice {
  enum class Kind {
    kConnected,       // ready for lines (TLS handshake and RELP open done)
    kConnectFailed,   // an attempt failed: connect, time limit, handshake
    kRefused,         // the server's certificate or protocol was refused, or TLS without a CA
    kLost,            // a ready connection ended
    kDropping,        // the held lines reached their bound: the oldest are being dropped
    kLineRefused,     // the collector answered a RELP frame with an error: it keeps it not
  };
  Kind kind;
  DWORD code;  // socket error or security status, where there is one
  std::wstring text;
};

// One collector of a kind above, as its owner (the syslog output, one link per target)
// drives it from the logger thread: Connect() when NeedsConnect() says so (the owner
// resolves the host), Service() once per cycle, Write() per line. None of them waits: the
// connect, the handshake, the RELP open and the acknowledgements progress across calls.
//
// Lines are held until they are delivered: for "/tls" until the connection took them,
// for RELP until the collector acknowledged them. They survive a lost connection and go
// first, in order, on the next one; beyond heldByteLimit the oldest are dropped.
//
// Threading: one owner thread; no lock.
class CollectorLink {
 public:
  // After a refused certificate the same server will refuse again; trying at every cycle
  // would only load it with handshakes.
  static constexpr DWORD kRetryAfterRefusalMs = 10000;

  explicit CollectorLink(CollectorLinkSettings settings);
  CollectorLink(const CollectorLink&) = delete;
  CollectorLink& operator=(const CollectorLink&) = delete;

  // No connection exists or is under way, and it is time to try one.
  bool NeedsConnect(DWORD now) const;
  // Starts a connection to `address` (the owner resolved the host afresh).
  void Connect(const sockaddr_in& address, DWORD now);
  // Advances what is under way, sends held lines, takes acknowledgements. Never waits.
  void Service(DWORD now);
  // One syslog line, without its line feed: held, and sent with the lines around it once
  // they fill a batch, or at the next Service(). An owner that writes a run of lines
  // calls Service() after the run.
  void Write(std::string_view line, DWORD now);
  // For the owner's close: lets held lines go and their acknowledgements come for up to
  // `timeLimitMs` (waiting on the socket: the only call here that waits), closes the
  // RELP session properly when everything was answered, then closes.
  void Finish(DWORD timeLimitMs);
  // Ends the connection at once; held lines stay for a later Connect.
  void Close();

  // The next notice, oldest first; false when there is none.
  bool TakeNotice(CollectorNotice& notice);

  // See CollectorConnection::ReadinessEvent(); null while there is no connection.
  HANDLE ReadinessEvent() const noexcept { return connection_.ReadinessEvent(); }
  bool Ready() const noexcept { return ready_; }
  CollectorKind Kind() const noexcept { return settings_.kind; }
  std::size_t HeldCount() const noexcept;
  // Lines delivered: taken by the connection ("/tls"), or acknowledged (RELP).
  std::uint64_t Delivered() const noexcept;
  std::uint64_t Dropped() const noexcept;
  const RelpSession& Session() const noexcept { return session_; }

 private:
  bool IsRelp() const noexcept { return settings_.kind != CollectorKind::kTls; }
  // A TLS collector without credentials gets nothing: not unchecked, not in clear.
  bool LacksCredentials() const noexcept { return UsesTls(settings_.kind) && settings_.credentials == nullptr; }
  void Notify(CollectorNotice::Kind kind, DWORD code, std::wstring text);
  void NotifyFailure(CollectorNotice::Kind kind, DWORD code, const std::wstring& text);
  void ConnectionEnded(CollectorNotice::Kind failedKind, DWORD code, const std::wstring& text);
  void BecameReady();
  void TakeAnswers(DWORD now);
  void SendHeld();
  void CountDrops(const HeldMessages::PushOutcome& outcome);
  std::wstring Peer() const;

  CollectorLinkSettings settings_;
  CollectorConnection connection_;
  RelpSession session_;        // RELP kinds: the held lines and the session
  HeldMessages lines_;         // "/tls": the held lines
  std::uint64_t handedOver_ = 0;  // "/tls": lines the connection took
  sockaddr_in address_{};
  bool connectionActive_ = false;  // from Connect() until the end of that connection is handled
  bool ready_ = false;
  bool refusedWithoutCredentials_ = false;
  DWORD retryAt_ = 0;
  bool waitingToRetry_ = false;
  std::wstring lastFailure_;   // the reason last told; empty after a success
  std::uint64_t refusedSeen_ = 0;
  std::deque<CollectorNotice> notices_;
};
