#pragma once

#include <windows.h>

#include <string>
#include <thread>

#include "win32/unique_resource.h"

// Points this process's standard output handle at a pipe for as long as it lives, and
// collects what is written there. Finish() puts the old handle back and returns the bytes.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string Finish();

 private:
  HANDLE previous_ = nullptr;
  UniqueHandle read_;
  UniqueHandle write_;
  std::string collected_;
  std::thread reader_;
  bool finished_ = false;
};
