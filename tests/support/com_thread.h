#pragma once

#include <windows.h>

#include <objbase.h>

#include <thread>
#include <utility>

// COM state belongs to a thread, so each case runs on a thread of its own that starts
// without COM.
template <typename Body>
void OnFreshThread(Body&& body) {
  std::thread thread(std::forward<Body>(body));
  thread.join();
}

// The calling thread's apartment as CoGetApartmentType names it (the process's main
// single-threaded apartment counting as APTTYPE_STA), or kNoApartment on a thread that
// has not initialised COM.
inline constexpr int kNoApartment = -1;
inline int ApartmentOfThisThread() {
  APTTYPE type{};
  APTTYPEQUALIFIER qualifier{};
  if (::CoGetApartmentType(&type, &qualifier) != S_OK) return kNoApartment;
  // A thread without COM in a process whose multithreaded apartment exists counts as an
  // implicit member of it; it has not initialised COM itself.
  if (qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA) return kNoApartment;
  return type == APTTYPE_MAINSTA ? APTTYPE_STA : type;
}
