// Where a program the tool starts is found: beside the tool, in the system and Windows folders,
// then along PATH, with ".exe" added by its rules; the system's own programs always by their
// full path.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "system/path.h"
#include "system/process_runner.h"
#include "system/text.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;
using ProgramSearch = testing::ChildProgramTest;

TEST(ProgramResolution, FixedFailures) {
  const std::pair<std::wstring, Error> cases[] = {
      {L"", Error::invalid_input(kNoFileNameMessage)},
      {L"tools\\", Error::invalid_input(kNoFileNameMessage)},
      {L"C:/tools/", Error::invalid_input(kNoFileNameMessage)},
      {std::wstring(L"a\0b", 3), Error::invalid_input(kNulInDataMessage)},
      {std::wstring(L"C:\\a\0b", 6), Error::invalid_input(kNulInPathMessage)},
      {L"surely-no-such-program-here", Error::not_found(kProgramNotFoundMessage)},
  };
  for (const auto& [program, error] : cases)
    EXPECT_EQ(resolve_program(program), std::unexpected(error)) << narrow(program);
}

// The tool's own folder, from what GetModuleFileNameW answers for the tool; a failed query
// leaves the folder out of the search.
TEST(ProgramResolution, TheOwnFolderKeepsADriveRoot) {
  const auto folder_of = [](std::wstring module) {
    return executable_directory([module](wchar_t* buffer, DWORD) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return static_cast<DWORD>(module.copy(buffer, module.size()));
    });
  };
  EXPECT_EQ(folder_of(L"C:\\Tools\\tool.exe"), L"C:\\Tools");
  EXPECT_EQ(folder_of(L"C:\\tool.exe"), L"C:\\");
  EXPECT_EQ(folder_of(L""), std::nullopt);
}

// Beside the tool, then the system folder, then the Windows folder, and only then PATH: a copy
// on PATH never shadows the system's own program. sc.exe is only in the system folder; the
// others, depending on the platform, in both or only in the Windows folder.
TEST_F(ProgramSearch, TheToolsAndTheSystemAndWindowsFoldersComeBeforePath) {
  wchar_t buffer[MAX_PATH];
  const std::wstring system(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
  const std::wstring windows(buffer, GetWindowsDirectoryW(buffer, MAX_PATH));
  set_path(scratch_.at(L"p"));
  for (const std::wstring name : {L"sc.exe", L"notepad.exe", L"regedit.exe"}) {
    scratch_.write_file(L"p\\" + name);
    std::wstring expected = scratch_.at(L"p\\" + name);
    for (const auto& folder : {windows, system}) {
      const std::wstring there = folder + L"\\" + name;
      if (GetFileAttributesW(there.c_str()) != INVALID_FILE_ATTRIBUTES) expected = there;
    }
    EXPECT_EQ(narrow(resolve_program(name).value_or(L"")), narrow(expected));
  }
  const auto beside = std::filesystem::path(testing::own_executable()).replace_filename("sc.exe");
  ASSERT_TRUE(CopyFileW(testing::own_executable().c_str(), beside.c_str(), FALSE));
  const auto found = resolve_program(L"sc.exe");
  DeleteFileW(beside.c_str());
  EXPECT_EQ(narrow(found.value_or(L"")), narrow(beside.wstring()))
      << "not the copy beside the tool";
}

// A candidate whose full form reaches the long-path threshold is tested and started in the
// verbatim form; one unit shorter, it stays as it is.
TEST_F(ProgramSearch, ALongCandidateGetsTheVerbatimPrefix) {
  for (const std::size_t units : {kLongPathThreshold - 1, kLongPathThreshold}) {
    const std::wstring folder(units - scratch_.path().size() - 15, L'f');
    const std::wstring candidate = scratch_.at(folder + L"\\longprog.exe");
    ASSERT_EQ(candidate.size() + 1, units);
    copy_child(folder + L"\\longprog.exe");
    set_path(scratch_.at(folder));
    const auto expected =
        units < kLongPathThreshold ? candidate : std::wstring(kVerbatimPrefix) + candidate;
    EXPECT_EQ(narrow(resolve_program(L"longprog").value_or(L"")), narrow(expected));
    EXPECT_EQ(run_and_wait("longprog", std::vector<std::string>{"--exit", "-1"}), 0xFFFFFFFFu);
  }
}

// A path gets ".exe" only when such a file exists, and never a second one. A bare name is looked
// for along PATH, split at ";" outside quotes, empty entries skipped, "." the only way into the
// current directory; a name with a dot gets no ".exe"; a directory with the name counts as found.
TEST_F(ProgramSearch, PathsAndNamesResolveByTheirRules) {
  for (const auto* file : {L"child.exe", L"prog.EXE.exe", L"b;c\\quoted.exe", L"d\\later.exe",
                           L"p\\tool.b", L"p\\plain", L"cwd\\only-here.exe"})
    scratch_.write_file(file);
  scratch_.make_directory(L"p\\dirprog.exe");
  const std::wstring quoted =
      L"C:\\no-such-a;;\"" + scratch_.at(L"b;c") + L"\";" + scratch_.at(L"d");
  const std::wstring cases[][3] = {
      {L"", scratch_.at(L"child"), scratch_.at(L"child.exe")},
      {L"", scratch_.at(L"missing"), scratch_.at(L"missing")},
      {L"", scratch_.at(L"prog.EXE"), scratch_.at(L"prog.EXE")},
      {quoted, L"quoted", scratch_.at(L"b;c\\quoted.exe")},
      {quoted, L"later", scratch_.at(L"d\\later.exe")},
      {scratch_.at(L"p"), L"tool.b", scratch_.at(L"p\\tool.b")},
      {scratch_.at(L"p"), L"plain", L"<not found>"},
      {scratch_.at(L"p"), L"dirprog", scratch_.at(L"p\\dirprog.exe")},
      {L"C:\\windows;;", L"only-here", L"<not found>"},
      {L"C:\\windows;.", L"only-here", scratch_.at(L"cwd\\only-here.exe")},
  };
  const auto old_directory = std::filesystem::current_path();
  std::filesystem::current_path(scratch_.at(L"cwd"));
  for (const auto& [path, name, found] : cases) {
    set_path(path);
    EXPECT_EQ(narrow(resolve_program(name).value_or(L"<not found>")), narrow(found))
        << narrow(path);
  }
  std::filesystem::current_path(old_directory);
  EXPECT_EQ(run_and_wait(narrow(scratch_.at(L"missing.exe")), {}),
            std::unexpected(Error::os(ERROR_FILE_NOT_FOUND)));
}

// Always the full path, so no program beside the tool can stand in for the system's own.
TEST(SystemProgramFile, NamesTheCopyInOrBelowTheSystemDirectory) {
  wchar_t buffer[MAX_PATH];
  const std::wstring system(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
  for (const std::string_view relative : {"sc.exe", "WindowsPowerShell\\v1.0\\powershell.exe"}) {
    EXPECT_EQ(system_program_file(relative).value_or(L"<failed>"),
              system + L"\\" + to_wide(relative));
  }
}

}  // namespace
}  // namespace voxtrel
