#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <utility>

// Owner of one heap buffer of text. Before the buffer goes back to the allocator every
// byte of it is overwritten with zeros, the whole allocation and not only the part up to
// the first zero character: a text that was shortened in place or that held zero
// characters inside it must not leave its tail behind in freed memory. SecureZeroMemory
// is used because a plain memset before delete is a dead store the optimizer may drop.
//
// The buffers come from the global allocator (new[]), so an allocation failure takes the
// program's new-handler like every other allocation and surfaces as std::bad_alloc.
template <typename CharT>
class ScrubbedBuffer {
 public:
  ScrubbedBuffer() noexcept = default;

  // `count` elements, left uninitialised.
  explicit ScrubbedBuffer(std::size_t count) : data_(new CharT[count]), count_(count) {}

  // `count` elements, all zero.
  static ScrubbedBuffer Zeroed(std::size_t count) {
    ScrubbedBuffer buffer(count);
    std::memset(buffer.data_, 0, count * sizeof(CharT));
    return buffer;
  }

  // A copy of the first `length` elements of `text` followed by a zero element: a buffer
  // of exactly length + 1 elements.
  static ScrubbedBuffer CopyOf(const CharT* text, std::size_t length) {
    ScrubbedBuffer buffer(length + 1);
    if (length != 0) std::memcpy(buffer.data_, text, length * sizeof(CharT));
    buffer.data_[length] = CharT();
    return buffer;
  }

  ~ScrubbedBuffer() { reset(); }

  ScrubbedBuffer(ScrubbedBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}
  ScrubbedBuffer& operator=(ScrubbedBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  ScrubbedBuffer(const ScrubbedBuffer&) = delete;
  ScrubbedBuffer& operator=(const ScrubbedBuffer&) = delete;

  CharT* get() const noexcept { return data_; }
  std::size_t size() const noexcept { return count_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }
  CharT& operator[](std::size_t index) const noexcept { return data_[index]; }

  // Zeroes and frees the buffer; the owner is empty afterwards.
  void reset() noexcept {
    if (data_ == nullptr) return;
    ::SecureZeroMemory(data_, count_ * sizeof(CharT));
    delete[] data_;
    data_ = nullptr;
    count_ = 0;
  }

 private:
  CharT* data_ = nullptr;
  std::size_t count_ = 0;
};
