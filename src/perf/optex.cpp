#include "perf/optex.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "text/code_page.h"

namespace {

std::string FormatObjectName(const char* format, const char* lockName) {
  // Room for the lock name and the fixed part of either format.
  std::string name(std::strlen(lockName) + 64, '\0');
  const int length = std::snprintf(name.data(), name.size(), format, lockName);
  name.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return name;
}

}  // namespace

bool Optex::Create(const void* name, bool unicode, std::uint32_t spinCount) {
  Destroy();

  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  singleProcessor_ = system.dwNumberOfProcessors == 1;

  // The converted name lives as long as this call, like any temporary conversion.
  TemporaryNarrowText converted(unicode ? static_cast<const wchar_t*>(name) : nullptr);
  const char* lockName = unicode ? converted.get() : static_cast<const char*>(name);
  if (lockName == nullptr) {
    // No name could be formed: the lock stays without objects rather than taking over
    // some other lock's name.
    return false;
  }

  // Default security of the creator, handles not inherited.
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = FALSE;

  const std::string eventName = FormatObjectName(kEventNameFormat, lockName);
  event_.reset(::CreateEventA(&attributes, FALSE, FALSE, eventName.c_str()));
  if (event_) {
    const std::string sectionName = FormatObjectName(kSectionNameFormat, lockName);
    section_.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                        sizeof(SharedState), sectionName.c_str()));
    if (section_) {
      shared_.reset(::MapViewOfFile(section_.get(), FILE_MAP_WRITE, 0, 0, 0));
      if (shared_) SetSpinCount(spinCount);
    }
  }
  return event_ && section_ && shared_;
}

void Optex::SetSpinCount(std::uint32_t spinCount) {
  if (singleProcessor_ || Shared() == nullptr) return;
  ::InterlockedExchange(&Shared()->spinCount, static_cast<LONG>(spinCount));
}

void Optex::Destroy() {
  shared_.reset();
  section_.reset();
  event_.reset();
}
