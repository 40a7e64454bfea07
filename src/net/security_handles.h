#pragma once

// Owners of the handles of the security support interface (SChannel) and of CryptoAPI.
// Only the network code sees these headers.

#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <wincrypt.h>

#include <utility>

#include "win32/unique_resource.h"

// The security support interface (SSPI) of secur32.dll, through the function table it
// hands out, loaded at the first call rather than imported: an import would load
// secur32, and the security packages it loads in turn (Kerberos, NTLM), into every
// program that links the logger, whether it has a TLS collector or not; under Wine that
// load also starts the program's socket library, which then never ends. Null when
// secur32.dll cannot be loaded; *error (when given) then holds the system's error code.
// Any thread; the load happens once.
const SecurityFunctionTableW* SecurityInterface(DWORD* error = nullptr) noexcept;

// SSPI handles are a pair of words, not a pointer, and the calls that make them write
// into the caller's handle: this owner hands out the address of its own. A valid handle
// was made through SecurityInterface(), which is therefore there to release it.
template <typename Traits>
class UniqueSecurityHandle {
 public:
  UniqueSecurityHandle() noexcept { SecInvalidateHandle(&handle_); }
  ~UniqueSecurityHandle() { reset(); }
  UniqueSecurityHandle(UniqueSecurityHandle&& other) noexcept : handle_(other.handle_) {
    SecInvalidateHandle(&other.handle_);
  }
  UniqueSecurityHandle& operator=(UniqueSecurityHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.handle_;
      SecInvalidateHandle(&other.handle_);
    }
    return *this;
  }
  UniqueSecurityHandle(const UniqueSecurityHandle&) = delete;
  UniqueSecurityHandle& operator=(const UniqueSecurityHandle&) = delete;

  // The calls take the handle by a non-const pointer even when they only read it.
  SecHandle* get() noexcept { return &handle_; }
  // For a call that makes a new handle: the old one is released first.
  SecHandle* put() noexcept {
    reset();
    return &handle_;
  }
  explicit operator bool() const noexcept { return SecIsValidHandle(&handle_); }

  void reset() noexcept {
    if (SecIsValidHandle(&handle_)) Traits::close(&handle_);
    SecInvalidateHandle(&handle_);
  }

 private:
  SecHandle handle_;
};

struct CredentialsHandleTraits {
  static void close(SecHandle* handle) noexcept { SecurityInterface()->FreeCredentialsHandle(handle); }
};
struct SecurityContextTraits {
  static void close(SecHandle* handle) noexcept { SecurityInterface()->DeleteSecurityContext(handle); }
};

using UniqueCredentials = UniqueSecurityHandle<CredentialsHandleTraits>;
using UniqueSecurityContext = UniqueSecurityHandle<SecurityContextTraits>;

// A buffer the security package allocated (ISC_REQ_ALLOCATE_MEMORY).
struct ContextBufferTraits {
  using pointer = void*;
  static pointer none() noexcept { return nullptr; }
  static void close(pointer buffer) noexcept { SecurityInterface()->FreeContextBuffer(buffer); }
};

struct CertStoreTraits {
  using pointer = HCERTSTORE;
  static pointer none() noexcept { return nullptr; }
  static void close(pointer store) noexcept { ::CertCloseStore(store, 0); }
};

struct CertContextTraits {
  using pointer = PCCERT_CONTEXT;
  static pointer none() noexcept { return nullptr; }
  static void close(pointer certificate) noexcept { ::CertFreeCertificateContext(certificate); }
};

struct ChainEngineTraits {
  using pointer = HCERTCHAINENGINE;
  static pointer none() noexcept { return nullptr; }
  static void close(pointer engine) noexcept { ::CertFreeCertificateChainEngine(engine); }
};

struct CertChainTraits {
  using pointer = PCCERT_CHAIN_CONTEXT;
  static pointer none() noexcept { return nullptr; }
  static void close(pointer chain) noexcept { ::CertFreeCertificateChain(chain); }
};

struct CryptProviderTraits {
  using pointer = HCRYPTPROV;
  static pointer none() noexcept { return 0; }
  static void close(pointer provider) noexcept { ::CryptReleaseContext(provider, 0); }
};

using UniqueContextBuffer = UniqueResource<ContextBufferTraits>;
using UniqueCertStore = UniqueResource<CertStoreTraits>;
using UniqueCertContext = UniqueResource<CertContextTraits>;
using UniqueChainEngine = UniqueResource<ChainEngineTraits>;
using UniqueCertChain = UniqueResource<CertChainTraits>;
using UniqueCryptProvider = UniqueResource<CryptProviderTraits>;
