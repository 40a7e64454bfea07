#pragma once

#include <windows.h>

#include <cstdio>
#include <utility>

// Move-only owner of one operating-system resource. Each Traits names the resource's
// "none" value and how to release it, so no handle is ever closed by hand on one path and
// forgotten on another.
template <typename Traits>
class UniqueResource {
 public:
  using pointer = typename Traits::pointer;

  // Constant-initialised where the resource's "none" is a constant, so a static owner is
  // built before, and torn down after, every object built at start-up.
  constexpr UniqueResource() noexcept = default;
  explicit UniqueResource(pointer value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }

  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  // Not noexcept: they read the owner, which a caller may reach through a bad pointer,
  // and on a thread under SeTranslatorGuard that fault must be able to reach its handler.
  pointer get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::none(); }

  pointer release() noexcept { return std::exchange(value_, Traits::none()); }

  void reset(pointer value = Traits::none()) noexcept {
    pointer old = std::exchange(value_, value);
    if (old != Traits::none()) Traits::close(old);
  }

 private:
  pointer value_ = Traits::none();
};

struct KernelHandleTraits {
  using pointer = HANDLE;
  static constexpr pointer none() noexcept { return nullptr; }
  static void close(pointer handle) noexcept { ::CloseHandle(handle); }
};

// CreateFile answers INVALID_HANDLE_VALUE instead of null.
struct FileHandleTraits {
  using pointer = HANDLE;
  static pointer none() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(pointer handle) noexcept { ::CloseHandle(handle); }
};

// FindFirstFile answers INVALID_HANDLE_VALUE too, and its handle is closed by FindClose.
struct FindHandleTraits {
  using pointer = HANDLE;
  static pointer none() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(pointer handle) noexcept { ::FindClose(handle); }
};

// A stream of the C run time.
struct CrtFileTraits {
  using pointer = std::FILE*;
  static constexpr pointer none() noexcept { return nullptr; }
  static void close(pointer file) noexcept { std::fclose(file); }
};

struct MappedViewTraits {
  using pointer = void*;
  static constexpr pointer none() noexcept { return nullptr; }
  static void close(pointer view) noexcept { ::UnmapViewOfFile(view); }
};

struct RegistryKeyTraits {
  using pointer = HKEY;
  static constexpr pointer none() noexcept { return nullptr; }
  static void close(pointer key) noexcept { ::RegCloseKey(key); }
};

struct EventSourceTraits {
  using pointer = HANDLE;
  static constexpr pointer none() noexcept { return nullptr; }
  static void close(pointer source) noexcept { ::DeregisterEventSource(source); }
};

struct ModuleTraits {
  using pointer = HMODULE;
  static constexpr pointer none() noexcept { return nullptr; }
  static void close(pointer module) noexcept { ::FreeLibrary(module); }
};

struct LocalMemoryTraits {
  using pointer = void*;
  static constexpr pointer none() noexcept { return nullptr; }
  static void close(pointer memory) noexcept { ::LocalFree(memory); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFileHandle = UniqueResource<FileHandleTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueCrtFile = UniqueResource<CrtFileTraits>;
using UniqueMappedView = UniqueResource<MappedViewTraits>;
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;
using UniqueEventSource = UniqueResource<EventSourceTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;
