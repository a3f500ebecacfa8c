#include <gtest/gtest.h>

#include "system/windows_api.h"
// shellapi.h needs <windows.h> first: CommandLineToArgvW, the platform's own parser.
#include <shellapi.h>

#include <map>
#include <random>
#include <vector>

#include "system/process_runner.h"
#include "system/text.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;
using testing::ScratchTest;

std::wstring directory_of(const std::wstring& file) {
  return file.substr(0, file.find_last_of(L'\\'));
}

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::wstring name, const std::wstring& value) : name_(std::move(name)) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name_.c_str(), buffer, 32768);
    if (length > 0) old_ = std::wstring(buffer, length);
    SetEnvironmentVariableW(name_.c_str(), value.c_str());
  }
  ~ScopedEnvironment() { SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }

 private:
  std::wstring name_;
  std::optional<std::wstring> old_;
};

class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::wstring& directory) {
    wchar_t buffer[MAX_PATH];
    old_.assign(buffer, GetCurrentDirectoryW(MAX_PATH, buffer));
    SetCurrentDirectoryW(directory.c_str());
  }
  ~ScopedCurrentDirectory() { SetCurrentDirectoryW(old_.c_str()); }

 private:
  std::wstring old_;
};

std::wstring written(std::wstring_view argument) {
  std::wstring line;
  EXPECT_TRUE(append_argument(line, argument).has_value());
  return line;
}

TEST(ArgumentWriting, QuotesAndBackslashesFollowTheRuntimeRules) {
  struct Case {
    std::wstring_view argument;
    std::wstring_view expected;
  };
  const Case cases[] = {
      {L"stop", L"stop"},
      {L"", L"\"\""},
      {L"a b", L"\"a b\""},
      {L"a\tb", L"\"a\tb\""},
      {L"a\"b", L"a\\\"b"},
      {L"a\\\"b", L"a\\\\\\\"b"},
      {L"C:\\x y\\", L"\"C:\\x y\\\\\""},
      {L"C:\\x\\", L"C:\\x\\"},
      {L"\\\\server\\share", L"\\\\server\\share"},
  };
  for (const auto& c : cases) EXPECT_EQ(written(c.argument), c.expected) << narrow(c.argument);
}

TEST(ArgumentWriting, CommandLinesOfTheToolsChildren) {
  const std::vector<std::wstring> stop = {L"stop", L"VoxtrelAgent"};
  EXPECT_EQ(build_command_line(L"sc.exe", stop), L"\"sc.exe\" stop VoxtrelAgent");
  const std::vector<std::wstring> kill = {L"/F", L"/IM", L"voxtrel-agent.exe"};
  EXPECT_EQ(build_command_line(L"taskkill", kill), L"\"taskkill\" /F /IM voxtrel-agent.exe");
  const std::vector<std::wstring> relaunch = {L"-Command",
                                              L"Start-Process 'C:\\My Tools\\t.exe' -Verb RunAs"};
  EXPECT_EQ(build_command_line(L"powershell", relaunch),
            L"\"powershell\" -Command \"Start-Process 'C:\\My Tools\\t.exe' -Verb RunAs\"");
}

TEST(ArgumentWriting, RandomArgumentListsSurviveThePlatformsOwnParser) {
  const std::wstring alphabet = L"ab \t\"\\'\u00e9\u4e2d;";
  std::mt19937 engine(20261208);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::wstring> arguments(1 + engine() % 4);
    for (auto& argument : arguments) {
      for (std::size_t n = engine() % 7; n > 0; --n)
        argument += alphabet[engine() % alphabet.size()];
    }
    const auto line = build_command_line(L"prog.exe", arguments);
    ASSERT_TRUE(line.has_value());
    int count = 0;
    wchar_t** parsed = CommandLineToArgvW(line->c_str(), &count);
    ASSERT_NE(parsed, nullptr);
    std::vector<std::wstring> back(parsed + 1, parsed + count);
    EXPECT_STREQ(parsed[0], L"prog.exe");
    LocalFree(parsed);
    ASSERT_EQ(back, arguments) << "line: " << narrow(*line);
  }
}

TEST(ArgumentWriting, NulIsRefused) {
  const std::vector<std::wstring> arguments = {std::wstring(L"a\0b", 3)};
  EXPECT_EQ(build_command_line(L"sc.exe", arguments).error(),
            Error::invalid_input(kNulInDataMessage));
}

TEST(ProgramResolution, FixedFailures) {
  struct Case {
    std::wstring program;
    Error expected;
  };
  const Case cases[] = {
      {L"", Error::invalid_input(kNoFileNameMessage)},
      {L"tools\\", Error::invalid_input(kNoFileNameMessage)},
      {L"C:/tools/", Error::invalid_input(kNoFileNameMessage)},
      {std::wstring(L"a\0b", 3), Error::invalid_input(kNulInDataMessage)},
      {std::wstring(L"C:\\a\0b", 6), Error::invalid_input(kNulInPathMessage)},
      {L"surely-no-such-program-here", Error::not_found(kProgramNotFoundMessage)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(resolve_program(c.program).error(), c.expected) << narrow(c.program);
  }
}

TEST(ProgramResolution, SystemProgramsAreFoundInTheSystemDirectory) {
  wchar_t system[MAX_PATH];
  const std::wstring system_directory(system, GetSystemDirectoryW(system, MAX_PATH));
  auto sc = resolve_program(L"sc.exe");
  ASSERT_TRUE(sc.has_value());
  EXPECT_EQ(
      CompareStringOrdinal(sc->c_str(), -1, (system_directory + L"\\sc.exe").c_str(), -1, TRUE),
      CSTR_EQUAL)
      << narrow(*sc);
}

class ProgramSearch : public ScratchTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileW(testing::test_child_executable().c_str(),
                          scratch_.at(L"child.exe").c_str(), FALSE));
  }
  void install_child(std::wstring_view relative) {
    scratch_.make_directory(relative.substr(0, relative.find_last_of(L'\\')));
    ASSERT_TRUE(CopyFileW(scratch_.at(L"child.exe").c_str(), scratch_.at(relative).c_str(), FALSE));
  }
};

TEST_F(ProgramSearch, AProgramBesideTheToolWinsOverTheSystemCopy) {
  const std::wstring beside = directory_of(testing::own_executable()) + L"\\sc.exe";
  ASSERT_TRUE(CopyFileW(testing::test_child_executable().c_str(), beside.c_str(), FALSE));
  const std::wstring record = scratch_.at(L"record.txt");
  const auto exit_code =
      run_and_wait("sc.exe", std::vector<std::string>{"--record", narrow(record), "--exit", "7"});
  DeleteFileW(beside.c_str());
  EXPECT_EQ(exit_code, 7u);
  EXPECT_TRUE(testing::read_file(record).has_value()) << "the system sc.exe ran instead";
}

TEST_F(ProgramSearch, TheCurrentDirectoryIsSearchedOnlyThroughPath) {
  install_child(L"cwd\\only-here.exe");
  const ScopedCurrentDirectory in_scratch(scratch_.at(L"cwd"));
  {
    const ScopedEnvironment path(L"PATH", L"C:\\windows");
    EXPECT_EQ(resolve_program(L"only-here").error(), Error::not_found(kProgramNotFoundMessage));
  }
  const ScopedEnvironment path(L"PATH", L"C:\\windows;.");
  EXPECT_EQ(resolve_program(L"only-here"), scratch_.at(L"cwd\\only-here.exe"));
}

TEST_F(ProgramSearch, PathEntriesMayBeQuotedAndEmpty) {
  install_child(L"b;c\\quoted.exe");
  install_child(L"d\\later.exe");
  const std::wstring value =
      L"C:\\no-such-a;;\"" + scratch_.at(L"b;c") + L"\";" + scratch_.at(L"d");
  const ScopedEnvironment path(L"PATH", value);
  EXPECT_EQ(resolve_program(L"quoted"), scratch_.at(L"b;c\\quoted.exe"));
  EXPECT_EQ(resolve_program(L"later"), scratch_.at(L"d\\later.exe"));
}

TEST_F(ProgramSearch, ANameWithADotGetsNoExtension) {
  scratch_.write_file(L"p\\tool.b");
  scratch_.write_file(L"p\\plain");
  const ScopedEnvironment path(L"PATH", scratch_.at(L"p"));
  EXPECT_EQ(resolve_program(L"tool.b"), scratch_.at(L"p\\tool.b"));
  EXPECT_EQ(resolve_program(L"plain").error(), Error::not_found(kProgramNotFoundMessage));
}

TEST_F(ProgramSearch, ADirectoryWithTheCandidatesNameCountsAsFound) {
  scratch_.make_directory(L"p\\dirprog.exe");
  const ScopedEnvironment path(L"PATH", scratch_.at(L"p"));
  EXPECT_EQ(resolve_program(L"dirprog"), scratch_.at(L"p\\dirprog.exe"));
  const auto outcome = run_and_wait("dirprog", {});
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().kind(), ErrorKind::kOs);
}

TEST_F(ProgramSearch, APathGetsExeOnlyWhenSuchAFileExists) {
  EXPECT_EQ(resolve_program(scratch_.at(L"child")), scratch_.at(L"child.exe"));
  EXPECT_EQ(resolve_program(scratch_.at(L"missing")), scratch_.at(L"missing"));
  EXPECT_EQ(resolve_program(scratch_.at(L"missing.EXE")), scratch_.at(L"missing.EXE"));
  const auto outcome = run_and_wait(narrow(scratch_.at(L"missing.exe")), {});
  ASSERT_FALSE(outcome.has_value());
  EXPECT_TRUE(outcome.error().is_os(ERROR_FILE_NOT_FOUND) ||
              outcome.error().is_os(ERROR_PATH_NOT_FOUND));
}

class ChildStart : public ScratchTest {
 protected:
  std::string child() const { return narrow(testing::test_child_executable()); }
  std::map<std::string, std::string> run_recorded(std::vector<std::string> arguments = {}) {
    const std::string record = narrow(scratch_.at(L"record.txt"));
    arguments.insert(arguments.begin(), {"--record", record});
    EXPECT_EQ(run_and_wait(child(), arguments), 0u);
    std::map<std::string, std::string> fields;
    const std::string text = testing::read_file(scratch_.at(L"record.txt")).value_or("");
    for (std::size_t pos = 0; pos < text.size();) {
      const auto end = text.find('\n', pos);
      const auto line = text.substr(pos, end - pos);
      const auto equals = line.find('=');
      fields[line.substr(0, equals)] = line.substr(equals + 1);
      pos = end + 1;
    }
    return fields;
  }
};

TEST_F(ChildStart, ExitCodesComeBackUnchanged) {
  EXPECT_EQ(run_and_wait(child(), std::vector<std::string>{"--exit", "0"}), 0u);
  EXPECT_EQ(run_and_wait(child(), std::vector<std::string>{"--exit", "42"}), 42u);
  EXPECT_EQ(run_and_wait(child(), std::vector<std::string>{"--exit", "-1"}), 0xFFFFFFFFu);
  EXPECT_TRUE(spawn_detached(child(), std::vector<std::string>{"--exit", "3"}).has_value());
}

TEST_F(ChildStart, TheChildReceivesTheCommandLineAndTheStandardHandles) {
  auto fields = run_recorded({"a b", "c\"d"});
  const std::string record = narrow(scratch_.at(L"record.txt"));
  EXPECT_EQ(fields["command_line"], "\"" + child() + "\" --record " + record + " \"a b\" c\\\"d");
  EXPECT_EQ(fields["flags"], std::to_string(STARTF_USESTDHANDLES));
}

TEST_F(ChildStart, AToolWithoutStandardHandlesSetsNoStartupFlags) {
  const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE saved[3];
  for (int i = 0; i < 3; ++i) {
    saved[i] = GetStdHandle(streams[i]);
    SetStdHandle(streams[i], nullptr);
  }
  auto fields = run_recorded();
  for (int i = 0; i < 3; ++i) SetStdHandle(streams[i], saved[i]);
  EXPECT_EQ(fields["flags"], "0");
}

}  // namespace
}  // namespace voxtrel
