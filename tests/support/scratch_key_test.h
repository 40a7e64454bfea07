#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "win32/unique_resource.h"

// A test with a registry key of its own below HKEY_CURRENT_USER\Software\VarrowmereTests,
// created before each test and deleted after it. Values are stored with the system's own
// calls, so code under test is read against what the registry really holds.
class ScratchKeyTest : public testing::Test {
 public:
  void SetUp() override {
    path_ = std::wstring(kParent) + L"\\" + stem_ + std::to_wstring(::GetCurrentProcessId());
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr),
              ERROR_SUCCESS);
    key_.reset(key);
  }

  void TearDown() override {
    key_.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kParent);  // only goes once no run uses it
  }

  void Store(const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(::RegSetValueExW(key_.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
  }
  void StoreText(const std::wstring& name, DWORD type, const std::wstring& text) {
    Store(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  void StoreDword(const std::wstring& name, DWORD value) { Store(name, REG_DWORD, &value, sizeof(value)); }
  void DeleteValue(const wchar_t* name) { ::RegDeleteValueW(key_.get(), name); }

 protected:
  // stem tells apart the keys of test programs that run at the same time.
  explicit ScratchKeyTest(const wchar_t* stem = L"") : stem_(stem) {}

  static constexpr const wchar_t* kParent = L"Software\\VarrowmereTests";
  std::wstring stem_;
  std::wstring path_;
  UniqueRegistryKey key_;
};
