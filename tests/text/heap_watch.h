#pragma once

#include <cstddef>
#include <vector>

// What the watching thread did with the global allocator while a HeapWatch was alive.
struct HeapActivity {
  std::vector<std::size_t> allocationSizes;  // bytes asked of operator new / new[], in order
  int frees = 0;                             // blocks given back to operator delete / delete[]
  int freesNotZeroed = 0;                    // of those, blocks that still held a non-zero byte
};

// Watches the global allocation functions on the thread that creates it, from its
// construction to Stop(). The test program replaces operator new, new[], delete and
// delete[] (heap_watch.cpp), which is where the text buffers come from: ScrubbedBuffer
// allocates with new[] on purpose, so that a failure takes the program's new-handler. Every
// block remembers its size, so a free inside the watch can be checked byte by byte for the
// zeroing the text classes promise, whenever the block was allocated.
//
// One watch at a time. Keep its span tight around the code under test: the test's own
// allocations and frees inside the span count as well.
class HeapWatch {
 public:
  HeapWatch();
  ~HeapWatch();
  HeapWatch(const HeapWatch&) = delete;
  HeapWatch& operator=(const HeapWatch&) = delete;

  // Ends the watch and reports what it saw.
  HeapActivity Stop();
};
