#include "diagnostics/symbol_engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/process_objects.h"
#include "diagnostics/system_error_text.h"
#include "support/child_process.h"
#include "support/crlf_lines.h"

namespace {

TEST(SymbolEngine, AProgramFileContributesItsFolder) {
  const struct {
    const char* fileName;
    const char* folder;
  } cases[] = {
      {"C:\\svc\\bin\\tool.exe", "C:\\svc\\bin"},
      {"C:tool.exe", "C:"},
      {"C:\\tool.exe", "C:"},
      {"\\\\host\\share\\tool.exe", "\\\\host\\share"},
      {"D:/builds/x86/tool.exe", "D:/builds/x86"},
      {"\\tool.exe", ""},
      {"tool.exe", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SymbolEngine::ProgramFolderOf(c.fileName), c.folder) << c.fileName;
  }
}

TEST(SymbolEngine, TheProcessWideEngineHoldsThePathAndItsOwnProcess) {
  const SymbolEngine& engine = ProcessSymbolEngine();
  char expected[SymbolEngine::kSymbolPathBytes] = {};
  ASSERT_NE(SymbolEngine::GetSymbolPath(expected, sizeof(expected)), nullptr);
  EXPECT_STREQ(engine.SymbolPath(), expected);
  ASSERT_NE(engine.Process(), nullptr);
  EXPECT_EQ(::GetProcessId(engine.Process()), ::GetCurrentProcessId());
}

// A warning as the child's console shows it: the event code (20000 for level 2) and the text.
std::string Warning(const std::string& text) { return "20000 " + text; }

std::string SourceWarning(const std::string& source, DWORD code) {
  return Warning("[SymbolEngine::GetSymbolPath] Cannot get " + source + ", the function returns error: " +
                 SystemErrorTextA(code).c_str() + ". code (" + std::to_string(code) + ")");
}

// Console lines "[code] (time):{thread} text" as "code text".
std::vector<std::string> ConsoleWarnings(const std::vector<std::string>& lines) {
  std::vector<std::string> warnings;
  for (const std::string& line : lines) {
    const std::size_t text = line.find("} ");
    if (line.rfind("[", 0) == 0 && text != std::string::npos) {
      warnings.push_back(line.substr(1, 5) + " " + line.substr(text + 2));
    }
  }
  return warnings;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The example installation: the program is svc\bin\tool.exe (a copy of the child) and
// runs in svc, all in a scratch folder of this process.
class SymbolPathRun : public testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() / ("symbol-engine-" + std::to_string(::GetCurrentProcessId()));
    svc_ = root_ / "svc";
    std::filesystem::create_directories(svc_ / "bin");
    std::filesystem::copy_file(ProgramBesideMe(L"symbol_path_child.exe"), svc_ / "bin" / "tool.exe");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::filesystem::path root_;
  std::filesystem::path svc_;
};

TEST_F(SymbolPathRun, ThePathFollowsItsSourcesAndWarnsForEachThatFails) {
  const std::string svc = Narrow(svc_.wstring());
  const std::string bin = svc + "\\bin";
  const std::string noVariable = "env value for ";
  // Wine sets the variable in every process it starts, whatever the parent passes on.
  char systemRootValue[MAX_PATH] = {};
  ASSERT_GT(::GetEnvironmentVariableA("SYSTEMROOT", systemRootValue, MAX_PATH), 0u);
  const std::string systemRoot = systemRootValue;
  const auto unset = std::nullopt;
  const struct {
    const char* name;
    std::wstring argument;
    ChildSetup::Environment environment;
    std::string path;
    std::vector<std::string> warnings;
  } cases[] = {
      {"each unset variable gives its warning",
       L"",
       {{L"_NT_SYMBOL_PATH", unset}, {L"_NT_ALTERNATE_SYMBOL_PATH", unset}},
       svc + ";" + bin + ";" + systemRoot,
       {SourceWarning(noVariable + "_NT_SYMBOL_PATH", ERROR_ENVVAR_NOT_FOUND),
        SourceWarning(noVariable + "_NT_ALTERNATE_SYMBOL_PATH", ERROR_ENVVAR_NOT_FOUND)}},
      {"several folders in a variable stay together in its place",
       L"",
       {{L"_NT_SYMBOL_PATH", L"C:\\sym one;D:\\sym two"}, {L"_NT_ALTERNATE_SYMBOL_PATH", unset}},
       svc + ";" + bin + ";C:\\sym one;D:\\sym two;" + systemRoot,
       {SourceWarning(noVariable + "_NT_ALTERNATE_SYMBOL_PATH", ERROR_ENVVAR_NOT_FOUND)}},
      {"every source answers",
       L"",
       {{L"_NT_SYMBOL_PATH", L"S:\\sym"}, {L"_NT_ALTERNATE_SYMBOL_PATH", L"A:\\alt"}},
       svc + ";" + bin + ";S:\\sym;A:\\alt;" + systemRoot,
       {}},
      {"sources longer than the buffer are left out and the path is cut to it",
       L" 12",
       {{L"_NT_SYMBOL_PATH", L"S:\\s"}, {L"_NT_ALTERNATE_SYMBOL_PATH", unset}},
       ("S:\\s;" + systemRoot).substr(0, 11),
       {SourceWarning("current folder name", ERROR_INSUFFICIENT_BUFFER),
        SourceWarning("module file name", ERROR_INSUFFICIENT_BUFFER),
        SourceWarning(noVariable + "_NT_ALTERNATE_SYMBOL_PATH", ERROR_ENVVAR_NOT_FOUND)}},
      {"no buffer", L" null", {}, "<null>", {Warning("SymbolEngine::GetSymbolPath Buffer is null")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChildSetup setup{svc_.wstring(), c.environment};
    const std::wstring tool = L"\"" + (svc_ / "bin" / "tool.exe").wstring() + L"\"";
    const ChildResult run = RunChild(tool + c.argument, {}, 60000, setup);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
    const std::vector<std::string> lines = CrLfLines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "path: " + c.path);
    EXPECT_EQ(ConsoleWarnings(lines), c.warnings);
  }
}

}  // namespace
