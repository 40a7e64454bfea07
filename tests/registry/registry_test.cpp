#include "registry/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch_key_test.h"

namespace {

// Values of every type are stored with the system's calls, so the wrapper is read against
// what the registry really holds.
class RegistryTest : public ScratchKeyTest {
 protected:
  void AddSubKey(const wchar_t* name) {
    HKEY sub = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(key_.get(), name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_SUCCESS);
    ::RegCloseKey(sub);
  }

  std::string NarrowPath() const { return std::string(path_.begin(), path_.end()); }
};

// The value is read into 1024 bytes on the stack, or into 2 x output characters when
// that is more: 512 characters of output still use the stack buffer, 513 the heap one.
TEST_F(RegistryTest, ReadStringBufferIsTheLargerOf1024BytesAndTheOutput) {
  const struct {
    DWORD outputChars;
    std::size_t valueChars;  // terminator not counted
    bool read;
    LONG lastError;
    std::size_t charsReturned;
  } cases[] = {
      {512, 511, true, ERROR_SUCCESS, 511},  // 1024 bytes with the terminator: fits the stack buffer
      {512, 512, false, ERROR_MORE_DATA, 0},
      {513, 512, true, ERROR_SUCCESS, 512},  // 1026 bytes: the heap buffer of 1026 bytes
      {513, 513, false, ERROR_MORE_DATA, 0},
      {10, 511, true, ERROR_SUCCESS, 9},     // a small output still reads into 1024 bytes
      {10, 512, false, ERROR_MORE_DATA, 0},
  };
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(false));
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testing::Message() << "output " << testCase.outputChars << ", value " << testCase.valueChars);
    std::wstring text;
    for (std::size_t i = 0; i < testCase.valueChars; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
    StoreText(L"Text", REG_SZ, text);

    std::vector<wchar_t> output(testCase.outputChars, L'#');
    EXPECT_EQ(registry.ReadString(L"Text", output.data(), testCase.outputChars), testCase.read);
    EXPECT_EQ(registry.LastError(), testCase.lastError);
    if (testCase.read) {
      EXPECT_EQ(std::wstring(output.data()), text.substr(0, testCase.charsReturned));
    }
  }
}

TEST_F(RegistryTest, ReadStringExpandsOnlyExpandableTextAndRefusesOtherTypes) {
  ASSERT_TRUE(::SetEnvironmentVariableW(L"VARROWMERE_TEST_DIR", L"C:\\Varrowmere"));
  StoreText(L"Expandable", REG_EXPAND_SZ, L"%VARROWMERE_TEST_DIR%\\logs");
  StoreText(L"Plain", REG_SZ, L"%VARROWMERE_TEST_DIR%\\logs");
  StoreDword(L"Number", 7);
  Store(L"Bytes", REG_BINARY, "\x01\x02", 2);

  const struct {
    const wchar_t* name;
    DWORD outputChars;
    bool read;
    const wchar_t* text;
  } cases[] = {
      {L"Expandable", 64, true, L"C:\\Varrowmere\\logs"},
      {L"Plain", 64, true, L"%VARROWMERE_TEST_DIR%\\logs"},
      {L"Expandable", 8, true, L"C:\\Varr"},  // an expansion longer than the output is cut
      {L"Number", 64, false, L""},
      {L"Bytes", 64, false, L""},
  };
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(false));
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testing::Message() << testCase.name << " into " << testCase.outputChars);
    std::vector<wchar_t> output(testCase.outputChars, L'\0');
    EXPECT_EQ(registry.ReadString(testCase.name, output.data(), testCase.outputChars), testCase.read);
    EXPECT_EQ(registry.LastError(), ERROR_SUCCESS);
    if (testCase.read) {
      EXPECT_STREQ(output.data(), testCase.text);
    }
  }
  ::SetEnvironmentVariableW(L"VARROWMERE_TEST_DIR", nullptr);
}

TEST_F(RegistryTest, ReadStringRefusesAnOutputWithoutRoom) {
  StoreText(L"Text", REG_SZ, L"text");
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(false));
  wchar_t untouched = L'#';
  EXPECT_FALSE(registry.ReadString(L"Text", &untouched, 0));
  EXPECT_EQ(registry.LastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(untouched, L'#');
}

// The filter loads the value names at Open; a name it does not know is refused without a
// query, so the last error stays 0.
TEST_F(RegistryTest, ReadDwordByTypePresenceAndFilter) {
  StoreDword(L"Answer", 42);
  StoreText(L"ShortText", REG_SZ, L"7");  // four bytes: the query fits, the type is wrong
  StoreText(L"LongText", REG_SZ, L"seventy");
  const struct {
    bool filter;
    const wchar_t* name;
    bool read;
    LONG lastError;
    DWORD value;
  } cases[] = {
      {false, L"Answer", true, ERROR_SUCCESS, 42},
      {false, L"ShortText", false, ERROR_SUCCESS, 0},
      {false, L"LongText", false, ERROR_MORE_DATA, 0},
      {false, L"Absent", false, ERROR_FILE_NOT_FOUND, 0},
      {true, L"Absent", false, ERROR_SUCCESS, 0},
      {true, L"ANSWER", true, ERROR_SUCCESS, 42},
      {true, L"answer", true, ERROR_SUCCESS, 42},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testing::Message() << (testCase.filter ? "filtered " : "unfiltered ") << testCase.name);
    Registry registry(path_.c_str(), true, testCase.filter);
    ASSERT_TRUE(registry.Open(false));
    DWORD value = 0;
    EXPECT_EQ(registry.ReadDword(testCase.name, &value), testCase.read);
    EXPECT_EQ(registry.LastError(), testCase.lastError);
    EXPECT_EQ(value, testCase.value);

    DWORD withDefault = 0;
    EXPECT_EQ(registry.ReadDword(testCase.name, &withDefault, 99), testCase.read);
    EXPECT_EQ(withDefault, testCase.read ? testCase.value : 99u);
  }
}

TEST_F(RegistryTest, ReadBoolTakesAnyNonZeroDwordAsTrue) {
  StoreDword(L"Off", 0);
  StoreDword(L"On", 2);
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(false));
  bool flag = true;
  EXPECT_TRUE(registry.ReadBool(L"Off", &flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(registry.ReadBool(L"On", &flag));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(registry.ReadBool(L"Absent", &flag, true));
  EXPECT_TRUE(flag);
}

TEST_F(RegistryTest, ValueNamesLongerThan255CharactersStayOutOfTheFilter) {
  const std::wstring longest(255, L'n');
  const std::wstring tooLong(256, L'n');
  StoreDword(longest, 1);
  StoreDword(tooLong, 2);

  Registry filtered(path_.c_str(), true, true);
  ASSERT_TRUE(filtered.Open(false));
  EXPECT_TRUE(filtered.HasValue(longest.c_str()));
  EXPECT_FALSE(filtered.HasValue(tooLong.c_str()));
  DWORD value = 0;
  EXPECT_TRUE(filtered.ReadDword(longest.c_str(), &value));
  EXPECT_EQ(value, 1u);
  EXPECT_FALSE(filtered.ReadDword(tooLong.c_str(), &value));
  EXPECT_EQ(filtered.LastError(), ERROR_SUCCESS);

  Registry unfiltered(path_.c_str(), true, false);
  ASSERT_TRUE(unfiltered.Open(false));
  EXPECT_TRUE(unfiltered.ReadDword(tooLong.c_str(), &value));
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(unfiltered.LoadValueNames(), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, WrittenStringIsRegSzWhoseSizeCountsTheTerminator) {
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(true));
  ASSERT_TRUE(registry.WriteString(L"Written", L"text"));
  ASSERT_TRUE(registry.WriteDword(L"Count", 5));

  DWORD type = REG_NONE;
  DWORD bytes = 0;
  ASSERT_EQ(::RegQueryValueExW(key_.get(), L"Written", nullptr, &type, nullptr, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(bytes, 5 * sizeof(wchar_t));
  DWORD count = 0;
  EXPECT_TRUE(registry.ReadDword(L"Count", &count));
  EXPECT_EQ(count, 5u);
}

TEST_F(RegistryTest, WritingThroughAKeyOpenedForReadingRecordsAccessDenied) {
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(false));
  EXPECT_FALSE(registry.WriteString(L"Written", L"text"));
  EXPECT_EQ(registry.LastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(registry.WriteDword(L"Count", 5));
  EXPECT_EQ(registry.LastError(), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, OpenCreateAndCloseFollowTheObjectsState) {
  Registry registry(HKEY_CURRENT_USER, (NarrowPath() + "\\Missing").c_str(), false);
  EXPECT_FALSE(registry.Open(false));
  EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry.Close(), ERROR_SUCCESS) << "nothing open";

  const std::wstring created = path_ + L"\\Created";
  ASSERT_TRUE(registry.Create(created.c_str()));
  EXPECT_STREQ(registry.GetKeyName(), "Created");
  EXPECT_TRUE(registry.Open(false)) << "already open: keeps the key";
  EXPECT_FALSE(registry.Open(path_.c_str(), false)) << "already open: another path is refused";
  EXPECT_FALSE(registry.Create(path_.c_str()));
  EXPECT_STREQ(registry.GetKeyName(), "Created");
  EXPECT_EQ(registry.Close(), ERROR_SUCCESS);
  EXPECT_EQ(registry.Key(), nullptr);

  DWORD subKeys = 77;
  EXPECT_FALSE(registry.GetSubKeyCount(&subKeys)) << "closed";
  EXPECT_EQ(subKeys, 77u);
  ASSERT_TRUE(registry.Open(path_.c_str(), false));
  EXPECT_TRUE(registry.GetSubKeyCount(&subKeys));
  EXPECT_EQ(subKeys, 1u);
}

TEST_F(RegistryTest, GetKeyNameIsThePartAfterTheLastBackslash) {
  EXPECT_EQ(Registry(false).GetKeyName(), nullptr);
  EXPECT_STREQ(Registry(HKEY_CURRENT_USER, "Software", false).GetKeyName(), "Software");
  EXPECT_STREQ(Registry(HKEY_CURRENT_USER, "Software\\Varrowmere\\Logger", false).GetKeyName(), "Logger");
}

// Sub-key names come with the key's full path; a path that already ends with a
// backslash gets no second one.
TEST_F(RegistryTest, EnumKeyJoinsPathAndNameWithOneBackslash) {
  AddSubKey(L"Alpha");
  for (const std::string& path : {NarrowPath(), NarrowPath() + "\\"}) {
    SCOPED_TRACE(path);
    Registry registry(HKEY_CURRENT_USER, path.c_str(), false);
    ASSERT_TRUE(registry.Open(false));
    const std::string expected = NarrowPath() + "\\Alpha";

    wchar_t fullName[MAX_PATH] = {};
    wchar_t name[3] = {};
    ASSERT_TRUE(registry.EnumKey(0, fullName, MAX_PATH, name, 3));
    EXPECT_EQ(std::wstring(fullName), std::wstring(expected.begin(), expected.end()));
    EXPECT_STREQ(name, L"Al") << "cut to the output";

    char fullNameA[MAX_PATH] = {};
    ASSERT_TRUE(registry.EnumKeyA(0, fullNameA, MAX_PATH, nullptr, 0));
    EXPECT_EQ(std::string(fullNameA), expected);
    EXPECT_FALSE(registry.EnumKeyA(0, nullptr, 0, nullptr, 0)) << "the full name is required";

    EXPECT_FALSE(registry.EnumKey(1, fullName, MAX_PATH, nullptr, 0));
    EXPECT_EQ(registry.LastError(), ERROR_NO_MORE_ITEMS);

    Registry child(false);
    ASSERT_TRUE(registry.OpenSubKey(0, child));
    EXPECT_EQ(child.Root(), HKEY_CURRENT_USER);
    EXPECT_EQ(child.Path(), expected);
    EXPECT_STREQ(child.GetKeyName(), "Alpha");
  }
}

TEST(IsWow64, AnswersFalseForANativeProcess) {
#ifdef _WIN64
  EXPECT_FALSE(IsWow64());
#else
  BOOL wow64 = FALSE;
  EXPECT_EQ(IsWow64(), ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64);
#endif
}

}  // namespace
