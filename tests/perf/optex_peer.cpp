// Second process of the Optex tests: builds an Optex of the name and spin count it is
// given, signals the lock's event so the first process can see it reached the same one,
// and exits 0 when every object was created or opened.
#include <windows.h>

#include <cwchar>

#include "perf/optex.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  Optex lock;
  const bool created = lock.Create(argv[1], true, static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 10)));
  if (!created) return 1;
  ::SetEvent(lock.EventHandle());
  return 0;
}
