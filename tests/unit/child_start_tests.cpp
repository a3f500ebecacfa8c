// What a started child receives: copies of the tool's standard handles that close after the
// start, its command line, the system directory as its current folder; a detached child is not
// waited for.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "system/process_runner.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;
using ChildStart = testing::ChildProgramTest;

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

}  // namespace
}  // namespace voxtrel
