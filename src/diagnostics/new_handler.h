#pragma once

#include <new>

// The allocation failure the whole program sees: a std::bad_alloc whose message is
// "bad allocation", so the standard allocation never yields an empty pointer.
class BadAllocation : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "bad allocation"; }
};

// The new-handler: throws BadAllocation.
[[noreturn]] void ThrowBadAllocation();

// Installs ThrowBadAllocation for the process on construction and puts the handler that
// was installed before back on destruction.
class NewHandlerInstallation {
 public:
  NewHandlerInstallation() noexcept : previous_(std::set_new_handler(&ThrowBadAllocation)) {}
  ~NewHandlerInstallation() { std::set_new_handler(previous_); }
  NewHandlerInstallation(const NewHandlerInstallation&) = delete;
  NewHandlerInstallation& operator=(const NewHandlerInstallation&) = delete;

  std::new_handler Previous() const noexcept { return previous_; }

 private:
  std::new_handler previous_;
};
