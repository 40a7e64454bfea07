#include "text/charset_registry.h"

#include "registry/registry.h"
#include "text/code_page.h"

namespace {

// Sub-key name to the name of the charset (or alias) it stands for.
using AliasMap = std::map<std::wstring, std::wstring, CharsetRegistry::CaseInsensitiveLess>;

constexpr DWORD kAliasTargetChars = 256;

// Gives each alias whose target is known the target's code page, in passes: an alias of
// an alias resolves in the pass after its target did (or in the same one, when the
// target came first). A pass that resolves nothing ends the work, and whatever is left
// (a cycle, a missing target) is dropped.
void ResolveAliases(AliasMap* aliases, CharsetRegistry::Table* table) {
  bool resolvedAny = true;
  while (!aliases->empty() && resolvedAny) {
    resolvedAny = false;
    for (auto alias = aliases->begin(); alias != aliases->end();) {
      const auto target = table->find(alias->second);
      if (target == table->end()) {
        ++alias;
        continue;
      }
      (*table)[alias->first] = target->second;
      alias = aliases->erase(alias);
      resolvedAny = true;
    }
  }
}

}  // namespace

CharsetRegistry::CharsetRegistry() : CharsetRegistry(HKEY_CLASSES_ROOT, kMimeCharsetPath) {}

CharsetRegistry::CharsetRegistry(HKEY root, const char* path) {
  AliasMap aliases;
  Registry database(root, path, false);
  DWORD subKeyCount = 0;
  if (database.Open(false) && database.GetSubKeyCount(&subKeyCount)) {
    for (DWORD index = 0; index < subKeyCount; ++index) {
      Registry charset(false);
      if (!database.OpenSubKey(index, charset)) continue;
      const TemporaryWideText name(charset.GetKeyName());
      if (name.get() == nullptr) continue;

      DWORD codePage = 0;
      wchar_t target[kAliasTargetChars] = {};
      if (charset.ReadDword(L"InternetEncoding", &codePage)) {
        table_[name.get()] = codePage;
      } else if (charset.ReadString(L"AliasForCharset", target, kAliasTargetChars)) {
        aliases[name.get()] = target;
      }
    }
  }
  ResolveAliases(&aliases, &table_);
}

bool CharsetRegistry::FindCodePage(const wchar_t* name, DWORD* codePage) const {
  if (name == nullptr || codePage == nullptr) return false;
  const auto found = table_.find(name);
  if (found == table_.end()) return false;
  *codePage = found->second;
  return true;
}
