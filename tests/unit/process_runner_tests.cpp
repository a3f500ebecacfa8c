#include <gtest/gtest.h>

#include "system/windows_api.h"
// shellapi.h needs <windows.h> first: CommandLineToArgvW, the platform's own parser.
#include <shellapi.h>

#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "system/process_runner.h"
#include "system/text.h"
#include "system/unique_handle.h"
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

// The tool's own folder, from what GetModuleFileNameW answers for the tool.
TEST(ProgramResolution, TheOwnFolderKeepsADriveRoot) {
  const auto folder_of = [](std::wstring module) {
    return executable_directory([module](wchar_t* buffer, DWORD) {
      module.copy(buffer, module.size());
      return static_cast<DWORD>(module.size());
    });
  };
  EXPECT_EQ(folder_of(L"C:\\Tools\\tool.exe"), L"C:\\Tools");
  EXPECT_EQ(folder_of(L"C:\\tool.exe"), L"C:\\");
  // A failed query: the search goes on without this folder.
  EXPECT_EQ(executable_directory([](wchar_t*, DWORD) {
              SetLastError(ERROR_NOT_ENOUGH_MEMORY);
              return DWORD{0};
            }),
            std::nullopt);
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

// Beside the tool, then the system folder, then the Windows folder, and only then PATH: a copy
// on PATH never shadows the system's own program.
TEST_F(ProgramSearch, TheSystemAndWindowsFoldersComeBeforePath) {
  wchar_t buffer[MAX_PATH];
  const std::wstring system(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
  const std::wstring windows(buffer, GetWindowsDirectoryW(buffer, MAX_PATH));
  const ScopedEnvironment path(L"PATH", scratch_.at(L"p"));
  // Where each is found depends on the platform: sc.exe only in the system folder, the others
  // in both or only in the Windows folder.
  for (const std::wstring name : {L"sc.exe", L"notepad.exe", L"regedit.exe"}) {
    install_child(L"p\\" + name);
    std::wstring expected = scratch_.at(L"p\\" + name);
    for (const auto& folder : {windows, system}) {
      const std::wstring there = folder + L"\\" + name;
      if (GetFileAttributesW(there.c_str()) != INVALID_FILE_ATTRIBUTES) expected = there;
    }
    EXPECT_EQ(narrow(resolve_program(name).value_or(L"")), narrow(expected));
  }
}

// A candidate whose full form reaches the long-path threshold is tested and started in the
// verbatim form; one unit shorter, it stays as it is.
TEST_F(ProgramSearch, ALongCandidateGetsTheVerbatimPrefix) {
  const std::wstring name = L"longprog.exe";
  for (const std::size_t units : {kLongPathThreshold - 1, kLongPathThreshold}) {
    const std::wstring folder(units - scratch_.path().size() - name.size() - 3, L'f');
    const std::wstring candidate = scratch_.at(folder + L"\\" + name);
    ASSERT_EQ(candidate.size() + 1, units);
    scratch_.make_directory(folder);
    const std::wstring verbatim = std::wstring(kVerbatimPrefix) + candidate;
    ASSERT_TRUE(CopyFileW(testing::test_child_executable().c_str(), verbatim.c_str(), FALSE));
    const ScopedEnvironment path(L"PATH", scratch_.at(folder));
    const auto expected = units < kLongPathThreshold ? candidate : verbatim;
    EXPECT_EQ(narrow(resolve_program(L"longprog").value_or(L"")), narrow(expected));
    EXPECT_EQ(run_and_wait("longprog", std::vector<std::string>{"--exit", "5"}), 5u);
  }
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
  // A path that already ends in ".exe", in any case, gets no second one.
  scratch_.write_file(L"prog.EXE.exe");
  EXPECT_EQ(resolve_program(scratch_.at(L"prog.EXE")), scratch_.at(L"prog.EXE"));
  const auto outcome = run_and_wait(narrow(scratch_.at(L"missing.exe")), {});
  ASSERT_FALSE(outcome.has_value());
  EXPECT_TRUE(outcome.error().is_os(ERROR_FILE_NOT_FOUND) ||
              outcome.error().is_os(ERROR_PATH_NOT_FOUND));
}

class ChildStart : public ScratchTest {
 protected:
  std::string child() const { return narrow(testing::test_child_executable()); }
  std::string record() const { return narrow(scratch_.at(L"record.txt")); }
  // The child's record, once it is whole (it ends with the process id); waits up to ten seconds.
  std::map<std::string, std::string> recorded() {
    std::string text;
    for (int i = 0; i < 100 && text.find("pid=") == std::string::npos; ++i) {
      Sleep(i == 0 ? 0 : 100);
      text = testing::read_file(scratch_.at(L"record.txt")).value_or("");
    }
    std::map<std::string, std::string> fields;
    for (std::size_t pos = 0; pos < text.size();) {
      const auto end = text.find('\n', pos);
      const auto line = text.substr(pos, end - pos);
      const auto equals = line.find('=');
      fields[line.substr(0, equals)] = line.substr(equals + 1);
      pos = end + 1;
    }
    return fields;
  }
  std::map<std::string, std::string> run_recorded(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"--record", record()});
    EXPECT_EQ(run_and_wait(child(), arguments), 0u);
    return recorded();
  }
};

TEST_F(ChildStart, ExitCodesComeBackUnchanged) {
  EXPECT_EQ(run_and_wait(child(), std::vector<std::string>{"--exit", "0"}), 0u);
  EXPECT_EQ(run_and_wait(child(), std::vector<std::string>{"--exit", "42"}), 42u);
  EXPECT_EQ(run_and_wait(child(), std::vector<std::string>{"--exit", "-1"}), 0xFFFFFFFFu);
}

// Handle inheritance is on, so the child writes through inheritable copies of the tool's
// standard handles, each to its own stream; and no copy outlives the start: once the tool lets
// go of a pipe and the child has ended, the pipe's reader sees its end.
TEST_F(ChildStart, TheChildInheritsCopiesOfTheStandardHandlesThatCloseAfterTheStart) {
  const DWORD streams[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  const std::string expected[] = {"out\n", "err\n"};
  UniqueKernelHandle readers[2];
  HANDLE saved[2];
  for (int i = 0; i < 2; ++i) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
    readers[i].reset(read);
    saved[i] = GetStdHandle(streams[i]);
    SetStdHandle(streams[i], write);
  }
  // Wine hands the standard handles over even without inheritance; an inheritable event shows it.
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  const UniqueKernelHandle event(CreateEventW(&inheritable, TRUE, TRUE, nullptr));
  const auto event_value = std::to_string(reinterpret_cast<std::uintptr_t>(event.get()));
  const std::vector<std::string> arguments = {"--print",        "out",      "--print-error", "err",
                                              "--expect-event", event_value};
  EXPECT_EQ(run_and_wait(child(), arguments), 0u);
  for (int i = 0; i < 2; ++i) {
    CloseHandle(GetStdHandle(streams[i]));
    SetStdHandle(streams[i], saved[i]);
    DWORD available = 0;
    PeekNamedPipe(readers[i].get(), nullptr, 0, nullptr, &available, nullptr);
    std::string text(available, '\0');
    ReadFile(readers[i].get(), text.data(), available, &available, nullptr);
    EXPECT_EQ(text, expected[i]);
    EXPECT_FALSE(PeekNamedPipe(readers[i].get(), nullptr, 0, nullptr, &available, nullptr))
        << "a copy of the tool's handle is still open";
  }
}

// spawn_detached starts the child as run_and_wait does, with the command line and the standard
// handles, and returns while it still runs.
TEST_F(ChildStart, ADetachedChildGetsItsCommandLineAndIsNotWaitedFor) {
  const std::vector<std::string> arguments = {"--record", record(),  "a b",
                                              "c\"d",     "--sleep", "30000"};
  // Found on PATH: the line names the program as the caller did, not the file found.
  scratch_.make_directory(L"p");
  ASSERT_TRUE(CopyFileW(testing::test_child_executable().c_str(),
                        scratch_.at(L"p\\recorder.exe").c_str(), FALSE));
  const ScopedEnvironment path(L"PATH", scratch_.at(L"p"));
  ASSERT_TRUE(spawn_detached("recorder", arguments).has_value());
  auto fields = recorded();
  EXPECT_EQ(fields["command_line"],
            "\"recorder\" --record " + record() + " \"a b\" c\\\"d --sleep 30000");
  EXPECT_EQ(fields["flags"], std::to_string(STARTF_USESTDHANDLES));
  const auto pid = static_cast<DWORD>(std::strtoul(fields["pid"].c_str(), nullptr, 10));
  const UniqueKernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
  ASSERT_TRUE(process) << "the child has ended: it was waited for";
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_TIMEOUT) << "the child was waited for";
  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), INFINITE);
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
