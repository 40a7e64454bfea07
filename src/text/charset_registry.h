#pragma once

#include <windows.h>

#include <cwchar>
#include <map>
#include <string>

// MIME charset names, as the system's MIME database lists them, with the Windows code page
// each stands for; an alias carries the code page of the charset it names. Names are
// compared without regard to letter case.
//
// Built once, before any other thread exists, and never changed afterwards, so any
// thread may look names up without a lock.
class CharsetRegistry {
 public:
  struct CaseInsensitiveLess {
    bool operator()(const std::wstring& left, const std::wstring& right) const noexcept {
      return _wcsicmp(left.c_str(), right.c_str()) < 0;
    }
  };
  using Table = std::map<std::wstring, DWORD, CaseInsensitiveLess>;

  // Where the system keeps the database, below HKEY_CLASSES_ROOT.
  static constexpr const char* kMimeCharsetPath = "MIME\\Database\\Charset";

  // Reads the system's database.
  CharsetRegistry();
  // Reads a database of the same shape below another key: each sub-key is one name, with
  // either a REG_DWORD "InternetEncoding" (a charset and its code page) or a string
  // "AliasForCharset" (the name of another charset or alias). What cannot be read is
  // left out; a missing key gives an empty table. Aliases are resolved over as many
  // passes as the longest chain needs; a cycle, or an alias of a name that is not
  // there, is dropped.
  CharsetRegistry(HKEY root, const char* path);
  CharsetRegistry(const CharsetRegistry&) = delete;
  CharsetRegistry& operator=(const CharsetRegistry&) = delete;

  // The code page of a charset or alias name; false, with the output untouched, when the
  // name is not known.
  bool FindCodePage(const wchar_t* name, DWORD* codePage) const;

  const Table& Entries() const noexcept { return table_; }

 private:
  Table table_;
};

// The process-wide registry, read from the system's database at start-up.
CharsetRegistry& ProcessCharsetRegistry();
