#pragma once

#include <string>
#include <string_view>

#include "net/security_handles.h"
#include "net/tls_credentials.h"

// The client end of one TLS connection, through SChannel. It works on bytes, not on a
// socket: the handshake and the records are fed what the server sent and append what
// must go back, so the owner moves the bytes over a non-blocking socket at its own pace,
// and a handshake that needs several round trips simply resumes at the next call.
//
// The server's certificate is checked as soon as the handshake completes, before the
// owner may send a byte (TlsClientCredentials::CheckServerCertificate); a server that
// fails the check, or offers less than TLS 1.2, ends the channel as refused.
//
// Threading: one owner thread; no lock.
class TlsClientChannel {
 public:
  enum class Progress { kWaiting, kEstablished, kFailed };
  enum class Failure {
    kNone,
    kHandshake,  // the handshake failed (the text names the call and its status)
    kRefused,    // the server's certificate or protocol was refused
    kRecord,     // a record could not be encrypted or decrypted
  };
  enum class Reading { kOpen, kClosedByPeer, kFailed };

  // `serverName` is the host as the owner knows it (a name or a dotted IPv4 address):
  // what the certificate must be issued for. A name also goes to the server as the
  // server name indication; an address does not (RFC 6066 allows names only).
  TlsClientChannel(TlsClientCredentials& credentials, std::string serverName);
  TlsClientChannel(const TlsClientChannel&) = delete;
  TlsClientChannel& operator=(const TlsClientChannel&) = delete;

  // Appends the client's first handshake message to `outgoing`.
  Progress Start(std::string& outgoing);
  // Takes the server's handshake bytes from the front of `incoming` (bytes that follow
  // the handshake stay there, for Decrypt) and appends the answers to `outgoing`.
  Progress Continue(std::string& incoming, std::string& outgoing);

  // Appends `plain` as records to `outgoing`. False when encryption failed (the channel
  // is then of no further use).
  bool Encrypt(std::string_view plain, std::string& outgoing);
  // Decrypts the whole records at the front of `incoming` into `plain`, leaving a partial
  // record for the next call; handshake messages the server sends after the handshake
  // may need answers, appended to `outgoing`.
  Reading Decrypt(std::string& incoming, std::string& plain, std::string& outgoing);
  // Appends the close_notify alert to `outgoing`.
  void Shutdown(std::string& outgoing);

  bool Established() const noexcept { return established_; }
  Failure FailureKind() const noexcept { return failure_; }
  const std::wstring& FailureText() const noexcept { return failureText_; }
  // "TLS 1.2" or "TLS 1.3", once established.
  const wchar_t* ProtocolName() const noexcept { return protocolName_; }

 private:
  SECURITY_STATUS HandshakeStep(std::string* incoming, std::string& outgoing);
  Progress RunHandshake(std::string& incoming, std::string& outgoing);
  Progress Establish();
  Progress Fail(Failure failure, std::wstring text);

  TlsClientCredentials& credentials_;
  std::string serverName_;
  std::wstring targetName_;  // empty for an address: no server name indication
  UniqueSecurityContext context_;
  SecPkgContext_StreamSizes sizes_{};
  bool established_ = false;
  bool renegotiating_ = false;  // post-handshake messages are being answered
  bool askedForCertificate_ = false;
  Failure failure_ = Failure::kNone;
  std::wstring failureText_;
  const wchar_t* protocolName_ = L"";
};
