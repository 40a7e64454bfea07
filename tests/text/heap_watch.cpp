#include "heap_watch.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Each block starts with a header that holds its size; 16 bytes keeps the caller's part
// as aligned as malloc's own blocks.
constexpr std::size_t kHeaderBytes = 16;
static_assert(sizeof(std::size_t) <= kHeaderBytes);

constexpr std::size_t kMaxRecordedSizes = 256;

// The watched thread's id, 0 while nothing is watched. The counters below are written
// only by that thread.
std::atomic<DWORD> g_watchedThread{0};
std::array<std::size_t, kMaxRecordedSizes> g_sizes;
std::size_t g_allocations = 0;
int g_frees = 0;
int g_freesNotZeroed = 0;

bool Watching() { return g_watchedThread.load(std::memory_order_relaxed) == ::GetCurrentThreadId(); }

void* AllocateBlock(std::size_t size) {
  for (;;) {
    if (void* raw = std::malloc(kHeaderBytes + size)) {
      std::memcpy(raw, &size, sizeof(size));
      if (Watching()) {
        if (g_allocations < kMaxRecordedSizes) g_sizes[g_allocations] = size;
        ++g_allocations;
      }
      return static_cast<char*>(raw) + kHeaderBytes;
    }
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void FreeBlock(void* block) noexcept {
  if (block == nullptr) return;
  char* const raw = static_cast<char*>(block) - kHeaderBytes;
  if (Watching()) {
    std::size_t size;
    std::memcpy(&size, raw, sizeof(size));
    const unsigned char* const bytes = static_cast<const unsigned char*>(block);
    ++g_frees;
    for (std::size_t i = 0; i < size; ++i) {
      if (bytes[i] != 0) {
        ++g_freesNotZeroed;
        break;
      }
    }
  }
  std::free(raw);
}

}  // namespace

HeapWatch::HeapWatch() {
  g_allocations = 0;
  g_frees = 0;
  g_freesNotZeroed = 0;
  g_watchedThread.store(::GetCurrentThreadId(), std::memory_order_relaxed);
}

HeapWatch::~HeapWatch() { g_watchedThread.store(0, std::memory_order_relaxed); }

HeapActivity HeapWatch::Stop() {
  g_watchedThread.store(0, std::memory_order_relaxed);
  HeapActivity activity;
  const std::size_t recorded = g_allocations < kMaxRecordedSizes ? g_allocations : kMaxRecordedSizes;
  activity.allocationSizes.assign(g_sizes.begin(), g_sizes.begin() + recorded);
  activity.frees = g_frees;
  activity.freesNotZeroed = g_freesNotZeroed;
  return activity;
}

void* operator new(std::size_t size) { return AllocateBlock(size); }
void* operator new[](std::size_t size) { return AllocateBlock(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return AllocateBlock(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return AllocateBlock(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { FreeBlock(block); }
void operator delete[](void* block) noexcept { FreeBlock(block); }
void operator delete(void* block, std::size_t) noexcept { FreeBlock(block); }
void operator delete[](void* block, std::size_t) noexcept { FreeBlock(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { FreeBlock(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { FreeBlock(block); }
