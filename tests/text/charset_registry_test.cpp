#include "text/charset_registry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/scratch_key_test.h"

namespace {

// One sub-key of a charset database: a charset with its code page, an alias with its
// target, or both values at once.
struct SubKey {
  const wchar_t* name;
  std::optional<DWORD> internetEncoding;
  const wchar_t* aliasFor = nullptr;
};

using Entries = std::vector<std::pair<std::wstring, DWORD>>;

class CharsetRegistryTest : public ScratchKeyTest {
 protected:
  CharsetRegistryTest() : ScratchKeyTest(L"charsets") {}

  // Builds the database below the scratch key and reads it.
  Entries Read(const std::vector<SubKey>& subKeys) {
    const std::wstring database = path_ + L"\\Charset";
    for (const SubKey& subKey : subKeys) {
      HKEY key = nullptr;
      EXPECT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (database + L"\\" + subKey.name).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                ERROR_SUCCESS);
      const UniqueRegistryKey owner(key);
      if (subKey.internetEncoding) {
        const DWORD codePage = *subKey.internetEncoding;
        ::RegSetValueExW(key, L"InternetEncoding", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&codePage),
                         sizeof(codePage));
      }
      if (subKey.aliasFor != nullptr) {
        ::RegSetValueExW(key, L"AliasForCharset", 0, REG_SZ, reinterpret_cast<const BYTE*>(subKey.aliasFor),
                         static_cast<DWORD>((std::wcslen(subKey.aliasFor) + 1) * sizeof(wchar_t)));
      }
    }
    const CharsetRegistry registry(HKEY_CURRENT_USER, std::string(database.begin(), database.end()).c_str());
    ::RegDeleteTreeW(HKEY_CURRENT_USER, database.c_str());
    return Entries(registry.Entries().begin(), registry.Entries().end());
  }
};

TEST_F(CharsetRegistryTest, AliasesTakeTheCodePageOfTheCharsetTheyName) {
  const struct {
    const char* name;
    std::vector<SubKey> subKeys;
    Entries table;
  } cases[] = {
      {"an alias of a charset", {{L"X", 1252}, {L"Y", {}, L"X"}}, {{L"X", 1252}, {L"Y", 1252}}},
      {"a chain read target first", {{L"X", 1252}, {L"Y", {}, L"X"}, {L"Z", {}, L"Y"}},
       {{L"X", 1252}, {L"Y", 1252}, {L"Z", 1252}}},
      {"a chain read alias first, over several passes", {{L"A", {}, L"B"}, {L"B", {}, L"C"}, {L"C", 1252}},
       {{L"A", 1252}, {L"B", 1252}, {L"C", 1252}}},
      {"a cycle is dropped", {{L"P", {}, L"Q"}, {L"Q", {}, L"P"}, {L"X", 65001}}, {{L"X", 65001}}},
      {"an alias of a missing name is dropped", {{L"latin9", {}, L"iso-8859-15"}}, {}},
      {"a target in other letter case", {{L"UTF-8", 65001}, {L"utf8", {}, L"utf-8"}},
       {{L"UTF-8", 65001}, {L"utf8", 65001}}},
      {"with both values the code page wins", {{L"W", 28591, L"X"}, {L"X", 1252}}, {{L"W", 28591}, {L"X", 1252}}},
      {"a sub-key with neither is left out", {{L"empty", {}}, {L"X", 1252}}, {{L"X", 1252}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Read(c.subKeys), c.table);
  }
}

TEST_F(CharsetRegistryTest, AMissingDatabaseGivesAnEmptyTable) {
  const CharsetRegistry registry(HKEY_CURRENT_USER, "Software\\VarrowmereTests\\NoSuchDatabase");
  EXPECT_TRUE(registry.Entries().empty());
}

TEST(CharsetRegistry, TheSystemDatabaseIsReadAtStartUpAndLookedUpInAnyLetterCase) {
  const CharsetRegistry& registry = ProcessCharsetRegistry();
  const struct {
    const wchar_t* name;
    DWORD codePage;
  } known[] = {
      {L"utf-8", 65001}, {L"UTF-8", 65001}, {L"iso-8859-1", 1252}, {L"ISO-8859-1", 1252},
      {L"latin1", 1252},  // an alias of iso-8859-1
  };
  for (const auto& k : known) {
    DWORD codePage = 0;
    EXPECT_TRUE(registry.FindCodePage(k.name, &codePage)) << k.name;
    EXPECT_EQ(codePage, k.codePage) << k.name;
  }
  DWORD untouched = 7;
  EXPECT_FALSE(registry.FindCodePage(L"no-such-charset", &untouched));
  EXPECT_EQ(untouched, 7u);
}

}  // namespace
