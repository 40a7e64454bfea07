#pragma once

#include <windows.h>

#include <cstdint>

#include "win32/unique_resource.h"

// A lock that several processes share through two named kernel objects in the Global
// namespace: an auto-reset event to wait on and a 16-byte page-file section holding the
// shared state. This program creates and releases the lock; acquiring it belongs to the
// side of the server that publishes the counters.
class Optex {
 public:
  // The section's contents. A freshly created section is all zeros, which must read as
  // the unlocked state.
  struct SharedState {
    volatile LONG spinCount;
    std::uint8_t lockState[12];
  };
  static_assert(sizeof(SharedState) == 16);

  static constexpr const char* kEventNameFormat = "Global\\XQD_Optex_Event_%s";
  static constexpr const char* kSectionNameFormat = "Global\\XQD_Optex_MMF_%s";

  Optex() = default;
  ~Optex() = default;
  Optex(const Optex&) = delete;
  Optex& operator=(const Optex&) = delete;

  // Creates or opens the two objects. With unicode set, name is a wide text converted to
  // the thread's ANSI code page (unrepresentable characters become the code page's
  // default character); otherwise it is narrow text used as it stands. True when the
  // event, the section and its view all exist; objects made before a failing step stay
  // held until Destroy.
  bool Create(const void* name, bool unicode, std::uint32_t spinCount);

  // Stores the shared spin count, except on a single-processor machine where spinning
  // is pointless and the count stays as it is.
  void SetSpinCount(std::uint32_t spinCount);

  // Unmaps the view and closes the section and the event.
  void Destroy();

  bool SingleProcessor() const noexcept { return singleProcessor_; }
  HANDLE EventHandle() const noexcept { return event_.get(); }
  HANDLE Section() const noexcept { return section_.get(); }
  SharedState* Shared() const noexcept { return static_cast<SharedState*>(shared_.get()); }

 private:
  // Declared so that destruction unmaps the view, then closes the section, then the event.
  bool singleProcessor_ = false;
  UniqueHandle event_;
  UniqueHandle section_;
  UniqueMappedView shared_;
};
