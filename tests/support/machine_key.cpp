#include "support/machine_key.h"

#include <algorithm>

namespace {

constexpr const wchar_t* kMark = L"VarrowmereTestKey";

bool HasMark(const std::wstring& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  const UniqueRegistryKey owner(key);
  return ::RegQueryValueExW(key, kMark, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool Exists(const std::wstring& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

}  // namespace

TestMachineKey::TestMachineKey(const std::wstring& path) : path_(path) {
  std::wstring turnName = L"Local\\VarrowmereTestKey:" + path;
  std::replace(turnName.begin() + 6, turnName.end(), L'\\', L'/');
  turn_.reset(::CreateMutexW(nullptr, FALSE, turnName.c_str()));
  if (!turn_) return;
  const DWORD waited = ::WaitForSingleObject(turn_.get(), 60000);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    turn_.reset();
    return;
  }
  if (Exists(path_)) {
    if (!HasMark(path_)) return;
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
  }
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  key_.reset(key);
  if (!SetDword(nullptr, kMark, 1)) key_.reset();
}

TestMachineKey::~TestMachineKey() {
  if (key_) {
    key_.reset();
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
  }
  if (turn_) ::ReleaseMutex(turn_.get());
}

bool TestMachineKey::SetValue(const wchar_t* subKey, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  if (!key_) return false;
  HKEY target = key_.get();
  UniqueRegistryKey child;
  if (subKey != nullptr) {
    HKEY created = nullptr;
    if (::RegCreateKeyExW(key_.get(), subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    child.reset(created);
    target = created;
  }
  return ::RegSetValueExW(target, name, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

bool TestMachineKey::SetText(const wchar_t* subKey, const wchar_t* name, const std::wstring& text, DWORD type) {
  return SetValue(subKey, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool TestMachineKey::SetDword(const wchar_t* subKey, const wchar_t* name, DWORD value) {
  return SetValue(subKey, name, REG_DWORD, &value, sizeof(value));
}
