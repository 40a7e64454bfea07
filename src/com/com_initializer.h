#pragma once

#include <windows.h>

#include <objbase.h>

#include <exception>
#include <string>

// COM could not be initialised for the calling thread: the message says why, result()
// holds the COM result.
class init_exception : public std::exception {
 public:
  init_exception(const char* message, HRESULT result) : message_(message != nullptr ? message : ""), result_(result) {}
  const char* what() const noexcept override { return message_.c_str(); }
  HRESULT Result() const noexcept { return result_; }

 private:
  std::string message_;
  HRESULT result_;
};

// Initialises COM for the calling thread with a concurrency model and undoes it when it
// goes. Each object holds at most one initialisation of its thread, which its
// Uninitialize (or its destructor) balances with exactly one CoUninitialize: a thread's
// COM state is the same after the object as before it. An object belongs to the thread
// that built it and is destroyed there.
class ComInitializer {
 public:
  // model: COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED, with the other COINIT flags.
  // Unless deferred, initialises at once (see Initialize).
  explicit ComInitializer(DWORD model, bool deferred = false, bool throwOnError = true);
  ~ComInitializer() { Uninitialize(); }
  ComInitializer(const ComInitializer&) = delete;
  ComInitializer& operator=(const ComInitializer&) = delete;

  // Initialises COM for the calling thread with the model; nothing happens when this
  // object already holds an initialisation with the same model. A thread already in
  // another apartment (RPC_E_CHANGED_MODE) and every other failure throw
  // init_exception, or, without throwOnError, leave result() set and the object as it
  // was.
  ComInitializer& Initialize(DWORD model, bool throwOnError = true);
  // Undoes the initialisation this object holds, if any.
  void Uninitialize();

  HRESULT Result() const noexcept { return result_; }
  bool Initialised() const noexcept { return initialised_; }
  DWORD Model() const noexcept { return model_; }

 private:
  HRESULT result_ = S_OK;
  bool initialised_ = false;
  DWORD model_;
};
