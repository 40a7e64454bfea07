#include "net/tls_credentials.h"

#include <schannel.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "diagnostics/system_error_text.h"

namespace {

// A certificate or PFX file is a few kilobytes; anything far larger is not one.
constexpr LONGLONG kMaxCertificateFileBytes = 1024 * 1024;
constexpr DWORD kCertificateEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// wininet's SECURITY_FLAG_IGNORE_CERT_CN_INVALID: the policy skips its name match, for
// the IP-address names it does not compare.
constexpr DWORD kPolicyIgnoresName = 0x00001000;

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::wstring FileError(const wchar_t* what, const std::wstring& path, const std::wstring& failure) {
  return std::wstring(what) + L" " + path + L": " + failure;
}

bool ReadWholeFile(const wchar_t* what, const std::wstring& path, std::string& bytes, std::wstring& error) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = FileError(what, path, Win32CallError(L"CreateFile", ::GetLastError()));
    return false;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) {
    error = FileError(what, path, Win32CallError(L"GetFileSizeEx", ::GetLastError()));
    return false;
  }
  if (size.QuadPart > kMaxCertificateFileBytes) {
    error = FileError(what, path, L"larger than any certificate file");
    return false;
  }
  bytes.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty() && (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                         read != bytes.size())) {
    error = FileError(what, path, Win32CallError(L"ReadFile", ::GetLastError()));
    return false;
  }
  return true;
}

// PEM ("-----BEGIN CERTIFICATE-----", base64, "-----END ...") becomes its DER bytes; a file
// without the marker is taken as DER already.
bool CertificateBytes(std::string& bytes, std::wstring& failure) {
  const std::size_t begin = bytes.find("-----BEGIN CERTIFICATE-----");
  if (begin == std::string::npos) return true;
  const char* pem = bytes.c_str() + begin;
  const DWORD pemLength = static_cast<DWORD>(bytes.size() - begin);
  DWORD derLength = 0;
  if (!::CryptStringToBinaryA(pem, pemLength, CRYPT_STRING_BASE64HEADER, nullptr, &derLength, nullptr, nullptr)) {
    failure = Win32CallError(L"CryptStringToBinary", ::GetLastError());
    return false;
  }
  std::string der(derLength, '\0');
  if (!::CryptStringToBinaryA(pem, pemLength, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()),
                              &derLength, nullptr, nullptr)) {
    failure = Win32CallError(L"CryptStringToBinary", ::GetLastError());
    return false;
  }
  der.resize(derLength);
  bytes.swap(der);
  return true;
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return a->cbCertEncoded == b->cbCertEncoded && std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// A PFX file may carry CA certificates beside the client's own, and an import may tie the
// key to each of them (Wine's does): the client certificate is the one whose public key
// is the key's.
bool HoldsItsPrivateKey(PCCERT_CONTEXT certificate) {
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
  DWORD keySpec = 0;
  BOOL callerFrees = FALSE;
  if (!::CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &key, &keySpec,
                                           &callerFrees)) {
    return false;
  }
  UniqueCryptProvider provider(callerFrees ? key : 0);
  // Wine's import records the provider's mask of key kinds (3) as the key's kind, so a
  // kind that is neither is tried as each.
  const bool knownKind = keySpec == AT_KEYEXCHANGE || keySpec == AT_SIGNATURE;
  const DWORD eachKind[] = {AT_KEYEXCHANGE, AT_SIGNATURE};
  for (const DWORD kind : eachKind) {
    if (knownKind && kind != keySpec) continue;
    DWORD size = 0;
    if (!::CryptExportPublicKeyInfo(key, kind, X509_ASN_ENCODING, nullptr, &size) || size == 0) continue;
    std::vector<BYTE> buffer(size);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
    if (::CryptExportPublicKeyInfo(key, kind, X509_ASN_ENCODING, info, &size) &&
        ::CertComparePublicKeyInfo(X509_ASN_ENCODING, &certificate->pCertInfo->SubjectPublicKeyInfo, info)) {
      return true;
    }
  }
  return false;
}

ImportedKeyContainer KeyContainerOf(PCCERT_CONTEXT certificate) {
  DWORD size = 0;
  if (!::CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return {};
  std::vector<BYTE> buffer(size);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
  if (!::CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, info, &size) ||
      info->pwszContainerName == nullptr) {
    return {};
  }
  return ImportedKeyContainer(info->pwszContainerName, info->pwszProvName != nullptr ? info->pwszProvName : L"",
                              info->dwProvType, info->dwFlags & CRYPT_MACHINE_KEYSET);
}

// Does one of the certificate's subject alternative names hold this IP address?
bool NamesAddress(PCCERT_CONTEXT certificate, const unsigned char (&address)[4]) {
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  const UniqueLocalMemory owner(names);
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == sizeof(address) &&
        std::memcmp(entry.IPAddress.pbData, address, sizeof(address)) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool ParseIpv4Literal(const std::string& text, unsigned char (&address)[4]) {
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
    }
    if (at == start || value > 255) return false;
    address[part] = static_cast<unsigned char>(value);
  }
  return at == text.size();
}

ImportedKeyContainer& ImportedKeyContainer::operator=(ImportedKeyContainer&& other) noexcept {
  if (this != &other) {
    Delete();
    container_ = std::exchange(other.container_, std::wstring());
    provider_ = std::move(other.provider_);
    providerType_ = other.providerType_;
    flags_ = other.flags_;
  }
  return *this;
}

void ImportedKeyContainer::Delete() noexcept {
  if (container_.empty()) return;
  HCRYPTPROV deleted = 0;
  ::CryptAcquireContextW(&deleted, container_.c_str(), provider_.empty() ? nullptr : provider_.c_str(), providerType_,
                         CRYPT_DELETEKEYSET | flags_);
  container_.clear();
}

TlsClientCredentials::~TlsClientCredentials() = default;

std::unique_ptr<TlsClientCredentials> TlsClientCredentials::Load(const std::wstring& caFile,
                                                                 const std::wstring& clientPfxFile,
                                                                 const std::wstring& pfxPassword,
                                                                 std::wstring& error) {
  std::unique_ptr<TlsClientCredentials> loaded(new TlsClientCredentials());

  std::string ca;
  if (!ReadWholeFile(L"CA file", caFile, ca, error)) return nullptr;
  std::wstring failure;
  if (!CertificateBytes(ca, failure)) {
    error = FileError(L"CA file", caFile, failure);
    return nullptr;
  }
  loaded->caCertificate_.reset(::CertCreateCertificateContext(
      kCertificateEncoding, reinterpret_cast<const BYTE*>(ca.data()), static_cast<DWORD>(ca.size())));
  if (!loaded->caCertificate_) {
    error = FileError(L"CA file", caFile,
                      L"not a certificate in PEM or DER form: " +
                          Win32CallError(L"CertCreateCertificateContext", ::GetLastError()));
    return nullptr;
  }

  loaded->caStore_.reset(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
  if (!loaded->caStore_ || !::CertAddCertificateContextToStore(loaded->caStore_.get(), loaded->caCertificate_.get(),
                                                               CERT_STORE_ADD_ALWAYS, nullptr)) {
    error = Win32CallError(loaded->caStore_ ? L"CertAddCertificateContextToStore" : L"CertOpenStore", ::GetLastError());
    return nullptr;
  }
  CERT_CHAIN_ENGINE_CONFIG engineConfig{};
  // The structure as far as hExclusiveTrustedPeople (Windows 7's): Wine refuses the
  // larger size that Windows 8 headers declare (with dwExclusiveFlags), whatever the
  // target. At this size only a self-signed CA is a trust anchor, so the CA given must
  // be the root; the chain's root is compared with it below in any case.
  engineConfig.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE);
  engineConfig.hExclusiveRoot = loaded->caStore_.get();
  HCERTCHAINENGINE engine = nullptr;
  if (!::CertCreateCertificateChainEngine(&engineConfig, &engine)) {
    error = Win32CallError(L"CertCreateCertificateChainEngine", ::GetLastError());
    return nullptr;
  }
  loaded->chainEngine_.reset(engine);

  if (!clientPfxFile.empty()) {
    std::string pfx;
    if (!ReadWholeFile(L"client certificate file", clientPfxFile, pfx, error)) return nullptr;
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), reinterpret_cast<BYTE*>(pfx.data())};
    // Persisted keys: see ImportedKeyContainer.
    loaded->clientStore_.reset(::PFXImportCertStore(&blob, pfxPassword.c_str(), 0));
    // A PFX written without a password may have been sealed with an empty one or with
    // none at all; the import tells them apart.
    if (!loaded->clientStore_ && pfxPassword.empty()) loaded->clientStore_.reset(::PFXImportCertStore(&blob, nullptr, 0));
    if (!loaded->clientStore_) {
      error = FileError(L"client certificate file", clientPfxFile, Win32CallError(L"PFXImportCertStore", ::GetLastError()));
      return nullptr;
    }
    PCCERT_CONTEXT found = nullptr;
    while ((found = ::CertEnumCertificatesInStore(loaded->clientStore_.get(), found)) != nullptr) {
      if (HoldsItsPrivateKey(found)) break;
    }
    if (found == nullptr) {
      error = FileError(L"client certificate file", clientPfxFile, L"no certificate with its private key");
      return nullptr;
    }
    loaded->clientCertificate_.reset(found);
    loaded->keyContainer_ = KeyContainerOf(found);
  }

  PCCERT_CONTEXT clientCertificates[] = {loaded->clientCertificate_.get()};
  SCHANNEL_CRED schannel{};
  schannel.dwVersion = SCHANNEL_CRED_VERSION;
  schannel.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  // The server's certificate is checked here against the given CA, never against the
  // system's stores, and no certificate of the user's is offered unasked.
  schannel.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  if (loaded->clientCertificate_) {
    schannel.cCreds = 1;
    schannel.paCred = clientCertificates;
  }
  DWORD loadError = ERROR_SUCCESS;
  if (SecurityInterface(&loadError) == nullptr) {
    error = L"secur32.dll: " + Win32CallError(L"LoadLibrary", loadError);
    return nullptr;
  }
  SECURITY_STATUS status =
      SecurityInterface()->AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                                     nullptr, &schannel, nullptr, nullptr, loaded->credentials_.put(),
                                                     nullptr);
  if (status == SEC_E_ALGORITHM_MISMATCH) {
    // Some systems offer TLS 1.3 only through the newer credential structure.
    schannel.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    status = SecurityInterface()->AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                                            SECPKG_CRED_OUTBOUND, nullptr, &schannel, nullptr, nullptr,
                                                            loaded->credentials_.put(), nullptr);
  }
  if (status != SEC_E_OK) {
    error = Win32CallError(L"AcquireCredentialsHandle", static_cast<DWORD>(status));
    return nullptr;
  }
  return loaded;
}

std::wstring TlsClientCredentials::CheckServerCertificate(PCCERT_CONTEXT certificate,
                                                          const std::string& serverName) const {
  LPSTR serverUsage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof(chainPara);
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = serverUsage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // The server's own store holds the intermediate certificates it sent.
  if (!::CertGetCertificateChain(chainEngine_.get(), certificate, nullptr, certificate->hCertStore, &chainPara, 0,
                                 nullptr, &chain)) {
    return Win32CallError(L"CertGetCertificateChain", ::GetLastError());
  }
  const UniqueCertChain chainOwner(chain);
  const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
  if (simple == nullptr || simple->cElement == 0 ||
      !SameCertificate(simple->rgpElement[simple->cElement - 1]->pCertContext, caCertificate_.get())) {
    return L"the server's certificate does not lead to the given CA";
  }

  unsigned char address[4];
  const bool addressLiteral = ParseIpv4Literal(serverName, address);
  std::wstring wideName = Widen(serverName);
  HTTPSPolicyCallbackData ssl{};
  ssl.cbSize = sizeof(ssl);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = addressLiteral ? kPolicyIgnoresName : 0;
  ssl.pwszServerName = addressLiteral ? nullptr : wideName.data();
  CERT_CHAIN_POLICY_PARA policyPara{};
  policyPara.cbSize = sizeof(policyPara);
  policyPara.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS policyStatus{};
  policyStatus.cbSize = sizeof(policyStatus);
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus)) {
    return Win32CallError(L"CertVerifyCertificateChainPolicy", ::GetLastError());
  }
  if (policyStatus.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
    return L"the server's certificate is not issued for " + wideName;
  }
  if (policyStatus.dwError != 0) {
    return L"the server's certificate fails the TLS server policy: " +
           Win32CallError(L"CertVerifyCertificateChainPolicy", policyStatus.dwError);
  }
  // The policy matches host names only; an address must be among the IP-address names.
  if (addressLiteral && !NamesAddress(certificate, address)) {
    return L"the server's certificate is not issued for " + wideName;
  }
  return {};
}
