#include "net/tls_client_channel.h"

#include <schannel.h>

#include <algorithm>
#include <cstring>

#include "diagnostics/system_error_text.h"

namespace {

constexpr ULONG kContextRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                       ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
// A TLS record: a five-byte header whose last two bytes give the length of what follows.
constexpr std::size_t kRecordHeaderBytes = 5;

std::size_t WholeRecordBytes(const std::string& bytes) {
  if (bytes.size() < kRecordHeaderBytes) return 0;
  const std::size_t length = kRecordHeaderBytes + ((static_cast<unsigned char>(bytes[3]) << 8) |
                                                   static_cast<unsigned char>(bytes[4]));
  return bytes.size() >= length ? length : 0;
}

std::wstring WidenAscii(const std::string& text) { return std::wstring(text.begin(), text.end()); }

const SecBuffer* FindBuffer(const SecBuffer* buffers, int count, ULONG type) {
  for (int i = 0; i < count; ++i) {
    if (buffers[i].BufferType == type) return &buffers[i];
  }
  return nullptr;
}

}  // namespace

TlsClientChannel::TlsClientChannel(TlsClientCredentials& credentials, std::string serverName)
    : credentials_(credentials), serverName_(std::move(serverName)) {
  unsigned char address[4];
  if (!ParseIpv4Literal(serverName_, address)) targetName_ = WidenAscii(serverName_);
}

TlsClientChannel::Progress TlsClientChannel::Fail(Failure failure, std::wstring text) {
  failure_ = failure;
  failureText_ = std::move(text);
  return Progress::kFailed;
}

// One call of the handshake. Without `incoming` it is the first (or a control token's)
// call; with it, the bytes it consumed are removed, and a partial message stays.
SECURITY_STATUS TlsClientChannel::HandshakeStep(std::string* incoming, std::string& outgoing) {
  SecBuffer input[2] = {};
  input[0].BufferType = SECBUFFER_TOKEN;
  if (incoming != nullptr) {
    input[0].cbBuffer = static_cast<ULONG>(incoming->size());
    input[0].pvBuffer = incoming->data();
  }
  input[1].BufferType = SECBUFFER_EMPTY;
  SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
  SecBuffer output[1] = {};
  output[0].BufferType = SECBUFFER_TOKEN;
  SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, output};
  ULONG attributes = 0;

  const bool first = !context_;
  SEC_WCHAR* target = targetName_.empty() ? nullptr : targetName_.data();
  const SECURITY_STATUS status = SecurityInterface()->InitializeSecurityContextW(
      credentials_.Handle(), first ? nullptr : context_.get(), target, kContextRequirements, 0, 0,
      incoming != nullptr ? &inputDesc : nullptr, 0, first ? context_.put() : context_.get(), &outputDesc,
      &attributes, nullptr);

  const UniqueContextBuffer token(output[0].pvBuffer);
  // With ISC_REQ_EXTENDED_ERROR a failure may come with an alert for the server.
  if (output[0].cbBuffer > 0 && output[0].pvBuffer != nullptr) {
    outgoing.append(static_cast<const char*>(output[0].pvBuffer), output[0].cbBuffer);
  }
  if (incoming != nullptr && status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS) {
    const std::size_t extra = input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0;
    incoming->erase(0, incoming->size() - std::min<std::size_t>(extra, incoming->size()));
  }
  return status;
}

TlsClientChannel::Progress TlsClientChannel::Start(std::string& outgoing) {
  const SECURITY_STATUS status = HandshakeStep(nullptr, outgoing);
  if (status != SEC_I_CONTINUE_NEEDED) {
    return Fail(Failure::kHandshake, Win32CallError(L"InitializeSecurityContext", static_cast<DWORD>(status)));
  }
  return Progress::kWaiting;
}

TlsClientChannel::Progress TlsClientChannel::Continue(std::string& incoming, std::string& outgoing) {
  if (failure_ != Failure::kNone) return Progress::kFailed;
  if (established_) return Progress::kEstablished;
  return RunHandshake(incoming, outgoing);
}

TlsClientChannel::Progress TlsClientChannel::RunHandshake(std::string& incoming, std::string& outgoing) {
  while (!incoming.empty()) {
    const SECURITY_STATUS status = HandshakeStep(&incoming, outgoing);
    switch (status) {
      case SEC_E_OK:
        if (renegotiating_) {
          renegotiating_ = false;
          return Progress::kEstablished;
        }
        return Establish();
      case SEC_I_CONTINUE_NEEDED:
        continue;
      case SEC_E_INCOMPLETE_MESSAGE:
        return Progress::kWaiting;
      case SEC_I_INCOMPLETE_CREDENTIALS:
        // The server asks for a client certificate and none is configured: the handshake
        // goes on without one (once), and the server decides.
        if (askedForCertificate_) {
          return Fail(Failure::kHandshake, L"the server asks for a client certificate, and none is given");
        }
        askedForCertificate_ = true;
        continue;
      default:
        return Fail(Failure::kHandshake, Win32CallError(L"InitializeSecurityContext", static_cast<DWORD>(status)));
    }
  }
  return Progress::kWaiting;
}

TlsClientChannel::Progress TlsClientChannel::Establish() {
  PCCERT_CONTEXT serverCertificate = nullptr;
  SECURITY_STATUS status =
      SecurityInterface()->QueryContextAttributesW(context_.get(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &serverCertificate);
  const UniqueCertContext certificateOwner(serverCertificate);
  if (status != SEC_E_OK || serverCertificate == nullptr) {
    return Fail(Failure::kRefused, L"the server showed no certificate: " +
                                       Win32CallError(L"QueryContextAttributes", static_cast<DWORD>(status)));
  }
  const std::wstring refusal = credentials_.CheckServerCertificate(serverCertificate, serverName_);
  if (!refusal.empty()) return Fail(Failure::kRefused, refusal);

  SecPkgContext_ConnectionInfo connection{};
  status = SecurityInterface()->QueryContextAttributesW(context_.get(), SECPKG_ATTR_CONNECTION_INFO, &connection);
  if (status != SEC_E_OK) {
    return Fail(Failure::kHandshake, Win32CallError(L"QueryContextAttributes", static_cast<DWORD>(status)));
  }
  if (connection.dwProtocol & SP_PROT_TLS1_3_CLIENT) {
    protocolName_ = L"TLS 1.3";
  } else if (connection.dwProtocol & SP_PROT_TLS1_2_CLIENT) {
    protocolName_ = L"TLS 1.2";
  } else {
    return Fail(Failure::kRefused, L"the server offers no TLS version from 1.2 on");
  }
  status = SecurityInterface()->QueryContextAttributesW(context_.get(), SECPKG_ATTR_STREAM_SIZES, &sizes_);
  if (status != SEC_E_OK || sizes_.cbMaximumMessage == 0) {
    return Fail(Failure::kHandshake, Win32CallError(L"QueryContextAttributes", static_cast<DWORD>(status)));
  }
  established_ = true;
  return Progress::kEstablished;
}

bool TlsClientChannel::Encrypt(std::string_view plain, std::string& outgoing) {
  if (!established_ || failure_ != Failure::kNone) return false;
  while (!plain.empty()) {
    const std::size_t chunk = std::min<std::size_t>(plain.size(), sizes_.cbMaximumMessage);
    const std::size_t base = outgoing.size();
    outgoing.resize(base + sizes_.cbHeader + chunk + sizes_.cbTrailer);
    char* record = outgoing.data() + base;
    std::memcpy(record + sizes_.cbHeader, plain.data(), chunk);
    SecBuffer buffers[4] = {};
    buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record};
    buffers[1] = {static_cast<ULONG>(chunk), SECBUFFER_DATA, record + sizes_.cbHeader};
    buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + chunk};
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = SecurityInterface()->EncryptMessage(context_.get(), 0, &desc, 0);
    if (status != SEC_E_OK) {
      outgoing.resize(base);
      Fail(Failure::kRecord, Win32CallError(L"EncryptMessage", static_cast<DWORD>(status)));
      return false;
    }
    // The three parts lie back to back; the trailer may be shorter than its room.
    outgoing.resize(base + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    plain.remove_prefix(chunk);
  }
  return true;
}

TlsClientChannel::Reading TlsClientChannel::Decrypt(std::string& incoming, std::string& plain, std::string& outgoing) {
  if (!established_ || failure_ != Failure::kNone) return Reading::kFailed;
  for (;;) {
    if (renegotiating_) {
      if (RunHandshake(incoming, outgoing) == Progress::kFailed) return Reading::kFailed;
      if (renegotiating_) return Reading::kOpen;
    }
    // Whole records only: Wine's DecryptMessage reads the record length from the first
    // five bytes without checking that they are there.
    if (WholeRecordBytes(incoming) == 0) return Reading::kOpen;
    SecBuffer buffers[4] = {};
    buffers[0] = {static_cast<ULONG>(incoming.size()), SECBUFFER_DATA, incoming.data()};
    for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = SecurityInterface()->DecryptMessage(context_.get(), &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return Reading::kOpen;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      Fail(Failure::kRecord, Win32CallError(L"DecryptMessage", static_cast<DWORD>(status)));
      return Reading::kFailed;
    }
    if (const SecBuffer* data = FindBuffer(buffers, 4, SECBUFFER_DATA); data != nullptr && data->cbBuffer > 0) {
      plain.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
    }
    const SecBuffer* extra = FindBuffer(buffers, 4, SECBUFFER_EXTRA);
    incoming.erase(0, incoming.size() - (extra != nullptr ? extra->cbBuffer : 0));
    if (status == SEC_I_CONTEXT_EXPIRED) return Reading::kClosedByPeer;
    // Handshake messages after the handshake (TLS 1.3's session tickets and key updates,
    // a renegotiation) go through the handshake call with the bytes that follow them.
    if (status == SEC_I_RENEGOTIATE) renegotiating_ = true;
  }
}

void TlsClientChannel::Shutdown(std::string& outgoing) {
  if (!context_) return;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer buffer{sizeof(type), SECBUFFER_TOKEN, &type};
  SecBufferDesc desc{SECBUFFER_VERSION, 1, &buffer};
  if (SecurityInterface()->ApplyControlToken(context_.get(), &desc) != SEC_E_OK) return;
  HandshakeStep(nullptr, outgoing);
}
