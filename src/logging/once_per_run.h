#pragma once

// The rule every output's failure reports follow: the first failure of a run of the same
// error is told, its repeats are not, and a success ends the run, so the next failure is
// told again. Belongs to the one thread that meets the failures.
class OncePerRun {
 public:
  // True when `error` starts a new run, which the caller then tells.
  bool IsNew(long error) noexcept {
    if (error == last_) return false;
    last_ = error;
    return true;
  }
  // A success: the next failure is told, whatever its error.
  void Succeeded() noexcept { last_ = 0; }

 private:
  long last_ = 0;
};
