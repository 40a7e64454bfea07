#pragma once

#include <windows.h>

#include <string>

#include "win32/unique_resource.h"

// A key below HKEY_LOCAL_MACHINE that a test creates in its Wine prefix, for code that
// reads fixed machine keys, and deletes with everything below it when it goes, so the
// prefix returns to its known state. The key carries a mark: a key that exists without
// it belongs to the system and is left alone (created() is false); one with it is what
// a run that died left behind, and is replaced. Test programs that run at the same time
// take turns for the same path through a named mutex, so build and destroy the object on
// one thread.
class TestMachineKey {
 public:
  explicit TestMachineKey(const std::wstring& path);
  ~TestMachineKey();
  TestMachineKey(const TestMachineKey&) = delete;
  TestMachineKey& operator=(const TestMachineKey&) = delete;

  bool created() const noexcept { return static_cast<bool>(key_); }
  HKEY get() const noexcept { return key_.get(); }

  // A value of the key, or of a sub-key (created as needed) when subKey is not null.
  bool SetText(const wchar_t* subKey, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ);
  bool SetDword(const wchar_t* subKey, const wchar_t* name, DWORD value);
  bool SetValue(const wchar_t* subKey, const wchar_t* name, DWORD type, const void* data, DWORD bytes);

 private:
  std::wstring path_;
  UniqueHandle turn_;
  UniqueRegistryKey key_;
};
