// Starting programs: command lines, paths and the texts the platform answers, where a program is
// found, what a child receives, image names and services; and the elevation gate, which
// relaunches the tool through PowerShell.
#include <gtest/gtest.h>

#include "system/windows_api.h"
// shellapi.h needs <windows.h> first: CommandLineToArgvW, the platform's own parser.
#include <shellapi.h>

#include <array>
#include <filesystem>
#include <random>
#include <vector>

#include "driver/elevation_gate.h"
#include "system/machine_queries.h"
#include "system/path.h"
#include "system/process_runner.h"
#include "system/process_token.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;

constexpr DWORD kStreams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

// Puts `handles` in place of the tool's standard handles; returns the ones they replace.
std::array<HANDLE, 3> swap_standard_handles(const std::array<HANDLE, 3>& handles) {
  std::array<HANDLE, 3> old{};
  for (int i = 0; i < 3; ++i) {
    old[i] = GetStdHandle(kStreams[i]);
    SetStdHandle(kStreams[i], handles[i]);
  }
  return old;
}

TEST(ArgumentWriting, QuotesAndBackslashesFollowTheRuntimeRules) {
  const std::wstring_view cases[][2] = {
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
  for (const auto& c : cases) {
    const std::vector<std::wstring> one = {std::wstring(c[0])};
    EXPECT_EQ(build_command_line(L"p", one), L"\"p\" " + std::wstring(c[1])) << narrow(c[0]);
  }
  EXPECT_EQ(build_command_line(L"p", std::vector{std::wstring(L"a\0b", 3)}),
            std::unexpected(Error::invalid_input(kNulInDataMessage)));
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
    const auto line = build_command_line(L"prog.exe", arguments).value_or(L"<failed>");
    int count = 0;
    wchar_t** parsed = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(parsed, nullptr);
    std::vector<std::wstring> back(parsed, parsed + count);
    LocalFree(parsed);
    arguments.insert(arguments.begin(), L"prog.exe");
    ASSERT_EQ(back, arguments) << "line: " << narrow(line);
  }
}

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

TEST(PathPreparation, ShortAndVerbatimFormsAndLongFormsTable) {
  const std::wstring long_tail(300, L'x');
  // A drive path of exactly `units` units; GetFullPathNameW's answer for the relative forms.
  const auto drive_path = [](std::size_t units) { return L"C:\\" + std::wstring(units - 3, L'a'); };
  const auto full = [](const wchar_t* path) {
    wchar_t buffer[MAX_PATH];
    return std::wstring(buffer, GetFullPathNameW(path, MAX_PATH, buffer, nullptr));
  };
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"", L""},
      {L"C:\\Program Files\\Voxtrel", L"C:\\Program Files\\Voxtrel"},
      {L"C:", L"C:"},
      {drive_path(246), drive_path(246)},  // 247 units with the terminator
      {drive_path(247), L"\\\\?\\" + drive_path(247)},
      {L"\\\\?\\C:\\" + long_tail, L"\\\\?\\C:\\" + long_tail},  // verbatim kept even when long
      {L"\\??\\C:\\" + long_tail, L"\\??\\C:\\" + long_tail},
      {L"\\\\.\\PHYSICALDRIVE0", L"\\\\.\\PHYSICALDRIVE0"},
      {L"\\\\.\\C:\\" + long_tail, L"\\\\?\\C:\\" + long_tail},
      {L"\\\\server\\share\\f", L"\\\\server\\share\\f"},
      {L"\\\\server\\share\\" + long_tail, L"\\\\?\\UNC\\server\\share\\" + long_tail},
      {L"C:/a/b", L"C:/a/b"},
      {L"//server/share", L"//server/share"},
      {L"C:/a/" + long_tail, L"\\\\?\\C:\\a\\" + long_tail},
      {L"//server/share/" + long_tail, L"\\\\?\\UNC\\server\\share\\" + long_tail},
      {L"sub\\file", L"\\\\?\\" + full(L"sub\\file")},
      {L"C:relative", L"\\\\?\\" + full(L"C:relative")},
  };
  for (const auto& [path, expected] : cases)
    EXPECT_EQ(narrow(prepare_path(path).value_or(L"<failed>")), narrow(expected)) << narrow(path);
  EXPECT_EQ(prepare_path(std::wstring(L"C:\\a\0b", 6)),
            std::unexpected(Error::invalid_input(kNulInPathMessage)));
}

TEST(PathJoining, OneSeparatorUnlessAlreadyThereOrBareDriveTable) {
  const std::wstring_view cases[][3] = {
      {L"C:\\dir", L"f", L"C:\\dir\\f"},
      {L"C:\\dir\\", L"f", L"C:\\dir\\f"},
      {L"C:/dir/", L"f", L"C:/dir/f"},
      {L"C:", L"f", L"C:f"},
      {L"", L"f", L"f"},
      {L"C:\\", L"f", L"C:\\f"},
      {L"\\\\?\\C:\\x", L"f", L"\\\\?\\C:\\x\\f"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(narrow(join_path(c[0], c[1])), narrow(c[2])) << narrow(c[0]) << " + " << narrow(c[1]);
}

// Queries answer as GetModuleFileNameW does (a text that does not fit is cut to the buffer with
// its NUL, the buffer's size returned) or as GetFullPathNameW does (the size needed returned):
// either way the whole text comes back.
TEST(TextQuery, GrowsTheBufferUntilTheWholeTextFits) {
  for (const bool truncates : {true, false}) {
    for (const std::size_t units : {511u, 512u, 513u, 5000u}) {
      const std::wstring text(units, L'q');
      int calls = 0;
      const auto answer = query_text([&](wchar_t* buffer, DWORD size) -> DWORD {
        const bool fits = text.size() < size;
        if (++calls > 8) return 0;  // a buffer that never grows: give up
        if (!fits && !truncates) return static_cast<DWORD>(text.size() + 1);
        const std::size_t copied = text.copy(buffer, size - 1);
        buffer[copied] = L'\0';
        if (fits) return static_cast<DWORD>(copied);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
      });
      EXPECT_TRUE(answer.value_or(L"<failed>") == text) << units << " units, " << truncates;
    }
  }
}

// Zero with last error 0 is the empty text, whatever an earlier call left behind. An empty folder
// name would make every program joined to it relative to the current directory: refused.
TEST(TextQuery, ZeroIsAFailureOnlyWithALastErrorAndNoFolderName) {
  const auto zero = [](wchar_t*, DWORD) { return DWORD{0}; };
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(query_text(zero), std::wstring());
  EXPECT_EQ(query_text([](wchar_t*, DWORD) {
              SetLastError(ERROR_ENVVAR_NOT_FOUND);
              return DWORD{0};
            }),
            std::unexpected(Error::os(ERROR_ENVVAR_NOT_FOUND)));
  EXPECT_EQ(reported_directory(zero), std::unexpected(Error::not_found(kProgramNotFoundMessage)));
}

// As taskkill /IM without wildcards: the whole image name, in any case, nothing more or less.
// (The process snapshot and the service query are asked for real by the unattended scenario.)
TEST(ImageName, MatchesTheWholeNameInAnyCase) {
  EXPECT_TRUE(is_image_named(L"voxtrel-agent.exe", L"voxtrel-agent.exe"));
  EXPECT_TRUE(is_image_named(L"VOXTREL-Agent.EXE", L"voxtrel-agent.exe"));
  for (const wchar_t* other : {L"voxtrel-agent.exe.old", L"my-voxtrel-agent.exe", L"voxtrel-agent",
                               L"voxtrel_agent.exe", L""})
    EXPECT_FALSE(is_image_named(other, L"voxtrel-agent.exe")) << narrow(other);
}

// NotifyServiceStatusChangeW as Windows answers it for the service `marked_service` while it is
// marked for deletion: ERROR_SERVICE_MARKED_FOR_DELETE. Wine 8 and 10 keep such a service as
// Windows does, and a change of its configuration says so, but this call answers it with success.
std::wstring marked_service;

DWORD WINAPI notify_as_windows(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW notify) {
  const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueService own(
      OpenServiceW(manager.get(), marked_service.c_str(), SERVICE_CHANGE_CONFIG));
  if (own &&
      !ChangeServiceConfigW(own.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
      GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
    return ERROR_SERVICE_MARKED_FOR_DELETE;
  return ::NotifyServiceStatusChangeW(service, mask, notify);
}

// A service of its own per test (a random name, an image that does not exist), deleted in
// tear-down if the test has not.
class ServiceQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = L"voxtrel-test-" + std::to_wstring(std::random_device{}() ^ GetCurrentProcessId());
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager_) GTEST_SKIP() << "services cannot be created here (not an administrator?)";
    created_.reset(
        CreateServiceW(manager_.get(), name_.c_str(), name_.c_str(), DELETE | SERVICE_QUERY_STATUS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                       L"C:\\nowhere\\service.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(created_) << GetLastError();
  }
  void TearDown() override {
    if (created_) DeleteService(created_.get());
  }
  [[nodiscard]] Result<ServiceState> state() const { return service_state(narrow(name_)); }
  // Deletes the service while a second handle keeps it; the state while kept.
  Result<ServiceState> state_deleted_while_held() {
    UniqueService held(OpenServiceW(manager_.get(), name_.c_str(), SERVICE_QUERY_STATUS));
    EXPECT_TRUE(held && DeleteService(created_.get())) << GetLastError();
    created_.reset();
    return state();
  }

  std::wstring name_;
  UniqueService manager_;
  UniqueService created_;
};

TEST_F(ServiceQuery, ADeletedServiceIsMarkedWhileAHandleKeepsItAndGoneAfter) {
  const ServiceCalls saved = service_calls;
  service_calls.notify_status_change = &notify_as_windows;
  marked_service = name_;
  EXPECT_EQ(state(), ServiceState::kPresent);
  EXPECT_EQ(state_deleted_while_held(), ServiceState::kMarkedForDeletion);
  EXPECT_EQ(state(), ServiceState::kAbsent);
  service_calls = saved;
  EXPECT_EQ(service_state(std::string("a\0b", 3)),
            std::unexpected(Error::invalid_input(kNulInPathMessage)));
}

TEST_F(ServiceQuery, ThePlatformTellsADeletedServiceThatAHandleKeeps) {
  const auto kept = state_deleted_while_held();
  if (kept == ServiceState::kPresent) {
    GTEST_SKIP() << "NotifyServiceStatusChangeW answers success for a service marked for "
                    "deletion here (Wine 8, 10)";
  }
  EXPECT_EQ(kept, ServiceState::kMarkedForDeletion);
  EXPECT_EQ(state(), ServiceState::kAbsent);
}

class ProgramSearch : public testing::ScratchTest {
 protected:
  void TearDown() override {
    SetEnvironmentVariableW(L"PATH", old_path_.c_str());
    ScratchTest::TearDown();
  }
  static void set_path(const std::wstring& path) { SetEnvironmentVariableW(L"PATH", path.c_str()); }
  void copy_child(std::wstring_view relative) {
    scratch_.make_directory(relative.substr(0, relative.find_last_of(L'\\')));
    const std::wstring to = std::wstring(kVerbatimPrefix) + scratch_.at(relative);
    ASSERT_TRUE(CopyFileW(testing::test_child_executable().c_str(), to.c_str(), FALSE));
  }
  std::string child() const { return narrow(testing::test_child_executable()); }
  std::string record() const { return narrow(scratch_.at(L"record.txt")); }
  // The child's record, once it is whole (the process id comes last); waits up to ten seconds
  // for a child that may still be starting.
  std::string recorded() const {
    std::string text;
    for (int i = 0; i < 100 && !text.contains("\npid="); ++i) {
      Sleep(i == 0 ? 0 : 100);
      text = testing::read_file(scratch_.at(L"record.txt")).value_or("");
    }
    return text;
  }

 private:
  // The runtime's copy of the environment as the program started: PATH as it was.
  const std::wstring old_path_ = _wgetenv(L"PATH");
};
using ChildStart = ProgramSearch;

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

// The child writes through inheritable copies of the tool's standard handles, each to its own
// stream; an inheritable event shows inheritance is on (Wine 8 passes standard handles without
// it; Wine 10, as Windows, does not).
// No copy outlives the start: once the tool and the child let go of a pipe, its reader sees EOF;
// nor does the child's process or thread handle.
TEST_F(ChildStart, TheChildInheritsCopiesOfTheStandardHandlesThatCloseAfterTheStart) {
  std::array<HANDLE, 3> handles = {GetStdHandle(STD_INPUT_HANDLE)};
  UniqueKernelHandle readers[2];
  for (int i = 0; i < 2; ++i) {
    HANDLE read = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &handles[i + 1], nullptr, 0));
    readers[i].reset(read);
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  const UniqueKernelHandle event(CreateEventW(&inheritable, TRUE, TRUE, nullptr));
  const auto event_value = std::to_string(reinterpret_cast<std::uintptr_t>(event.get()));
  const std::vector<std::string> arguments = {"--print",        "out",      "--print-error", "err",
                                              "--expect-event", event_value};
  const auto saved = swap_standard_handles(handles);
  // A first start takes what the platform keeps for the process's children from then on.
  (void)run_and_wait(child(), {});
  const testing::HandleLeakCheck leaks;
  EXPECT_EQ(run_and_wait(child(), arguments), 0u);
  EXPECT_FALSE(leaks.leaked()) << "a handle of the child outlived its run";
  swap_standard_handles(saved);
  for (int i = 0; i < 2; ++i) {
    CloseHandle(handles[i + 1]);
    char text[16];
    DWORD length = 0;
    ReadFile(readers[i].get(), text, sizeof(text), &length, nullptr);
    EXPECT_EQ(std::string(text, length), i == 0 ? "out\n" : "err\n");
    EXPECT_FALSE(PeekNamedPipe(readers[i].get(), nullptr, 0, nullptr, nullptr, nullptr))
        << "a copy of the tool's handle is still open";
  }
}

// spawn_detached starts the child as run_and_wait does and returns while it still runs. The
// line names the program as the caller did, not the file found on PATH.
TEST_F(ChildStart, ADetachedChildGetsItsCommandLineAndIsNotWaitedFor) {
  copy_child(L"p\\recorder.exe");
  set_path(scratch_.at(L"p"));
  const std::vector<std::string> arguments = {"--record", record(),  "a b",
                                              "c\"d",     "--sleep", "30000"};
  ASSERT_TRUE(spawn_detached("recorder", arguments).has_value());
  const std::string text = recorded();
  EXPECT_TRUE(text.starts_with("command_line=\"recorder\" --record " + record() +
                               " \"a b\" c\\\"d --sleep 30000\n"))
      << text;
  EXPECT_TRUE(text.contains("\nflags=" + std::to_string(STARTF_USESTDHANDLES) + "\n")) << text;
  const auto pid = static_cast<DWORD>(std::stoul(text.substr(text.find("\npid=") + 5)));
  const UniqueKernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
  ASSERT_TRUE(process) << "the child has ended: it was waited for";
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_TIMEOUT) << "the child was waited for";
  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), INFINITE);
}

TEST_F(ChildStart, AToolWithoutStandardHandlesSetsNoStartupFlags) {
  const auto saved = swap_standard_handles({});
  const auto exit_code = run_and_wait(child(), std::vector<std::string>{"--record", record()});
  swap_standard_handles(saved);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_TRUE(recorded().contains("\nflags=0\n"));
}

// Not in the tool's current folder (the download folder of a copy started from there), whatever
// it is: in the system directory, for a detached child as for one waited for.
TEST_F(ChildStart, TheChildStartsInTheSystemDirectory) {
  wchar_t buffer[MAX_PATH];
  const std::wstring system(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
  const auto old_directory = std::filesystem::current_path();
  scratch_.make_directory(L"cwd");
  std::filesystem::current_path(scratch_.at(L"cwd"));
  const auto waited = run_and_wait(child(), std::vector<std::string>{"--record", record()});
  const std::string first = recorded();
  DeleteFileW(scratch_.at(L"record.txt").c_str());
  const auto detached = spawn_detached(child(), std::vector<std::string>{"--record", record()});
  std::filesystem::current_path(old_directory);
  EXPECT_EQ(waited, 0u);
  EXPECT_TRUE(detached.has_value());
  for (const std::string& text : {first, recorded()})
    EXPECT_TRUE(text.contains("\ncwd=" + narrow(system) + "\n")) << text;
}

TEST(SingleQuotedLiteral, DoublesEveryCharacterPowerShellTakesAsAQuote) {
  const char* const cases[][2] = {
      {"C:\\it's\\x.exe", "C:\\it''s\\x.exe"},
      {"''", "''''"},
      {"\u2018a\u2019b\u201Ac\u201Bd", "\u2018\u2018a\u2019\u2019b\u201A\u201Ac\u201B\u201Bd"},
      // Look-alikes that PowerShell does not take as quotes stay single.
      {"\u201C\u201D\"`\u00B4\u2032", "\u201C\u201D\"`\u00B4\u2032"},
      {"C:\\\xEF\xBF\xBD\\x.exe", "C:\\\xEF\xBF\xBD\\x.exe"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_single_quoted(c[0]), c[1]) << c[0];
}

TEST(RelaunchCommand, KeepsThePathInsideOneLiteralThatReachesPowerShellAsOneArgument) {
  EXPECT_EQ(relaunch_command("C:\\a'; Remove-Item C:\\ -Recurse; '\\x.exe"),
            "Start-Process 'C:\\a''; Remove-Item C:\\ -Recurse; ''\\x.exe' -Verb RunAs");
  const std::vector<std::wstring> arguments = {
      L"-Command", to_wide(relaunch_command("C:\\Program Files\\it\u2019s\\x.exe"))};
  EXPECT_EQ(
      build_command_line(L"powershell.exe", arguments),
      L"\"powershell.exe\" -Command \"Start-Process 'C:\\Program Files\\it\u2019\u2019s\\x.exe' "
      L"-Verb RunAs\"");
}

// Wine 8 gives every process a full token with a limited one linked to it, Wine 10 the limited
// one with the full one linked; Windows does the same for an administrator under UAC, either way
// round.
TEST(ProcessToken, FullTokenIsElevatedAndItsLinkedLimitedTokenIsNot) {
  EXPECT_EQ(is_token_elevated(nullptr), std::unexpected(Error::os(ERROR_INVALID_HANDLE)));
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) << GetLastError();
  const UniqueKernelHandle own(raw);
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  GetTokenInformation(raw, TokenElevationType, &type, sizeof(type), &size);
  if (type == TokenElevationTypeDefault ||
      !GetTokenInformation(raw, TokenLinkedToken, &linked, sizeof(linked), &size))
    GTEST_SKIP() << "this token has no linked token (UAC is off, or this is a standard user)";
  const UniqueKernelHandle linked_token(linked.LinkedToken);
  const bool full = type == TokenElevationTypeFull;
  EXPECT_EQ(is_token_elevated(raw), full);
  EXPECT_EQ(is_token_elevated(linked.LinkedToken), !full);
  EXPECT_EQ(is_process_elevated(), full);
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
