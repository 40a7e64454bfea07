#pragma once

#include <unknwn.h>

#include "win32/unique_resource.h"

// Owns one reference to a COM interface and releases it when it goes.
template <typename Interface>
struct ComInterfaceTraits {
  using pointer = Interface*;
  static pointer none() noexcept { return nullptr; }
  static void close(pointer object) noexcept { object->Release(); }
};

template <typename Interface>
using UniqueComInterface = UniqueResource<ComInterfaceTraits<Interface>>;
