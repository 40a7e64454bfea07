#include "com/com_initializer.h"

ComInitializer::ComInitializer(DWORD model, bool deferred, bool throwOnError) : model_(model) {
  if (!deferred) Initialize(model, throwOnError);
}

ComInitializer& ComInitializer::Initialize(DWORD model, bool throwOnError) {
  if (initialised_ && model == model_) return *this;
  result_ = ::CoInitializeEx(nullptr, model);
  if (result_ == RPC_E_CHANGED_MODE) {
    if (throwOnError) {
      throw init_exception(
          "A previous call to CoInitializeEx specified a different concurrency model for the calling thread, or the "
          "thread that called CoInitializeEx currently belongs to the neutral threaded apartment.",
          result_);
    }
    return *this;
  }
  if (result_ == S_OK || result_ == S_FALSE) {
    // The object already holds the thread's initialisation: the one just made (the same
    // apartment with other flags) is given back at once, so one CoUninitialize still
    // balances the object.
    if (initialised_) ::CoUninitialize();
    model_ = model;
    initialised_ = true;
    return *this;
  }
  if (throwOnError) throw init_exception("Could not initialize COM", result_);
  return *this;
}

void ComInitializer::Uninitialize() {
  if (!initialised_) return;
  ::CoUninitialize();
  initialised_ = false;
}
