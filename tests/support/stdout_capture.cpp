#include "support/stdout_capture.h"

StdoutCapture::StdoutCapture() : previous_(::GetStdHandle(STD_OUTPUT_HANDLE)) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ::CreatePipe(&read, &write, nullptr, 1 << 16);
  read_.reset(read);
  write_.reset(write);
  ::SetStdHandle(STD_OUTPUT_HANDLE, write_.get());
  reader_ = std::thread([this] {
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(read_.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) collected_.append(chunk, got);
  });
}

StdoutCapture::~StdoutCapture() { Finish(); }

std::string StdoutCapture::Finish() {
  if (!finished_) {
    finished_ = true;
    ::SetStdHandle(STD_OUTPUT_HANDLE, previous_);
    write_.reset();
    reader_.join();
  }
  return collected_;
}
