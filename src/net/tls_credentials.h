#pragma once

#include <memory>
#include <string>
#include <utility>

#include "net/security_handles.h"

// The key container a PFX import made for the client certificate's private key. The
// import has to persist it (SChannel signs with the key from another process on Windows,
// and Wine's SChannel reads it back from the container), so it is deleted again when the
// credentials go.
class ImportedKeyContainer {
 public:
  ImportedKeyContainer() = default;
  ImportedKeyContainer(std::wstring container, std::wstring provider, DWORD providerType, DWORD flags)
      : container_(std::move(container)), provider_(std::move(provider)), providerType_(providerType),
        flags_(flags) {}
  ~ImportedKeyContainer() { Delete(); }
  ImportedKeyContainer(ImportedKeyContainer&& other) noexcept { *this = std::move(other); }
  ImportedKeyContainer& operator=(ImportedKeyContainer&& other) noexcept;
  ImportedKeyContainer(const ImportedKeyContainer&) = delete;
  ImportedKeyContainer& operator=(const ImportedKeyContainer&) = delete;

 private:
  void Delete() noexcept;

  std::wstring container_;  // empty: nothing to delete
  std::wstring provider_;
  DWORD providerType_ = 0;
  DWORD flags_ = 0;  // CRYPT_MACHINE_KEYSET where the import used the machine's keys
};

// What a TLS client of the collectors trusts and shows: the one CA a server's certificate
// must lead to, and, for servers that ask for one, the client's own certificate with its
// key (from a PFX file). It holds the SChannel credentials (TLS 1.2 or later, certificates
// checked here rather than by the system's stores) that every connection of its owner
// shares; the owner keeps it alive as long as any of them.
//
// Threading: built once; afterwards its calls only read it, so the connections of one
// thread share it without a lock.
class TlsClientCredentials {
 public:
  // Reads the CA certificate (PEM or DER; the first certificate of the file), and, when
  // clientPfxFile is not empty, the PFX file's certificate that has its private key, and
  // acquires the credentials. On failure answers null and sets `error` to the failed call
  // ("CreateFile Error: <text> (<code>)") and the file it was about.
  static std::unique_ptr<TlsClientCredentials> Load(const std::wstring& caFile, const std::wstring& clientPfxFile,
                                                    const std::wstring& pfxPassword, std::wstring& error);
  ~TlsClientCredentials();
  TlsClientCredentials(const TlsClientCredentials&) = delete;
  TlsClientCredentials& operator=(const TlsClientCredentials&) = delete;

  CredHandle* Handle() noexcept { return credentials_.get(); }
  bool HasClientCertificate() const noexcept { return static_cast<bool>(clientCertificate_); }

  // Checks the certificate a server showed: it must chain to the CA (a chain engine whose
  // only root is the CA, and the chain's root compared with the CA byte for byte), pass
  // the TLS server policy (signatures, dates, usage), and be issued for `serverName`: a
  // host name as the policy matches it, or an IPv4 address in dotted form matched against
  // the certificate's IP-address names. Answers an empty text when it is accepted, else
  // why it is not.
  std::wstring CheckServerCertificate(PCCERT_CONTEXT certificate, const std::string& serverName) const;

 private:
  TlsClientCredentials() = default;

  // Destroyed in reverse: the credentials first, the key container last.
  ImportedKeyContainer keyContainer_;
  UniqueCertStore clientStore_;
  UniqueCertContext clientCertificate_;
  UniqueCertContext caCertificate_;
  UniqueCertStore caStore_;
  UniqueChainEngine chainEngine_;
  UniqueCredentials credentials_;
};

// The four bytes of a dotted IPv4 address "a.b.c.d" (each part 0 to 255 in decimal, no
// other forms), or false when the text is not one.
bool ParseIpv4Literal(const std::string& text, unsigned char (&address)[4]);
