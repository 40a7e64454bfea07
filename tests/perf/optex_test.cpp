#include "perf/optex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/child_process.h"
#include "win32/unique_resource.h"

namespace {

// Names unique to this run, so parallel or leftover runs never share a lock.
std::wstring UniqueName(const wchar_t* stem) {
  return std::wstring(stem) + L"-" + std::to_wstring(::GetCurrentProcessId());
}

std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

bool MoreThanOneProcessor() {
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  return system.dwNumberOfProcessors > 1;
}

TEST(Optex, CreatesBothObjectsWithTheSpinCountAndAZeroLockState) {
  ASSERT_TRUE(MoreThanOneProcessor()) << "Wine reports the host's processors";
  const std::wstring name = UniqueName(L"fresh");
  Optex lock;
  ASSERT_TRUE(lock.Create(name.c_str(), true, 4000));
  EXPECT_FALSE(lock.SingleProcessor());
  EXPECT_EQ(lock.Shared()->spinCount, 4000);
  const std::uint8_t zeros[12] = {};
  EXPECT_EQ(std::memcmp(lock.Shared()->lockState, zeros, sizeof(zeros)), 0);

  const std::string narrow = Narrow(name);
  UniqueHandle event(::OpenEventA(EVENT_ALL_ACCESS, FALSE, ("Global\\XQD_Optex_Event_" + narrow).c_str()));
  UniqueHandle section(::OpenFileMappingA(FILE_MAP_READ, FALSE, ("Global\\XQD_Optex_MMF_" + narrow).c_str()));
  EXPECT_TRUE(event);
  EXPECT_TRUE(section);

  lock.Destroy();
  EXPECT_EQ(lock.EventHandle(), nullptr);
  EXPECT_EQ(lock.Section(), nullptr);
  EXPECT_EQ(lock.Shared(), nullptr);
}

TEST(Optex, SecondProcessReachesTheSameEventAndSectionAndOnlyOverwritesTheSpinCount) {
  const std::wstring name = UniqueName(L"shared");
  Optex lock;
  ASSERT_TRUE(lock.Create(name.c_str(), true, 4000));
  std::memcpy(lock.Shared()->lockState, "lock-state!!", 12);

  const ChildResult peer = RunChild(L"\"" + ProgramBesideMe(L"optex_peer.exe") + L"\" \"" + name + L"\" 1234");
  ASSERT_TRUE(peer.started);
  ASSERT_EQ(peer.exitCode, 0u);

  EXPECT_EQ(::WaitForSingleObject(lock.EventHandle(), 0), WAIT_OBJECT_0) << "the peer signalled our event";
  EXPECT_EQ(lock.Shared()->spinCount, 1234) << "the last writer's spin count stands";
  EXPECT_EQ(std::memcmp(lock.Shared()->lockState, "lock-state!!", 12), 0);
}

TEST(Optex, NameCharactersOutsideTheAnsiCodePageBecomeItsDefaultCharacter) {
  ASSERT_EQ(::GetACP(), 1252u);
  // U+4E00 has no form in 1252, not even a best-fit one; U+00E9 is in it.
  const std::wstring name = UniqueName(L"x\u4e00y\u00e9");
  Optex lock;
  ASSERT_TRUE(lock.Create(name.c_str(), true, 4000));

  std::string expected = "x?y\xe9" + Narrow(name.substr(4));
  UniqueHandle event(::OpenEventA(EVENT_ALL_ACCESS, FALSE, ("Global\\XQD_Optex_Event_" + expected).c_str()));
  UniqueHandle section(::OpenFileMappingA(FILE_MAP_READ, FALSE, ("Global\\XQD_Optex_MMF_" + expected).c_str()));
  EXPECT_TRUE(event);
  EXPECT_TRUE(section);
}

TEST(Optex, NarrowNameIsUsedAsItsBytesStand) {
  const std::string name = "narrow\xe9-" + std::to_string(::GetCurrentProcessId());
  Optex lock;
  ASSERT_TRUE(lock.Create(name.c_str(), false, 4000));
  UniqueHandle event(::OpenEventA(EVENT_ALL_ACCESS, FALSE, ("Global\\XQD_Optex_Event_" + name).c_str()));
  EXPECT_TRUE(event);
}

TEST(Optex, NullNameCreatesNothing) {
  Optex lock;
  EXPECT_FALSE(lock.Create(nullptr, true, 4000));
  EXPECT_EQ(lock.EventHandle(), nullptr);
  EXPECT_EQ(lock.Shared(), nullptr);
}

}  // namespace
