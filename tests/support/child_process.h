// Programs run from a test, and what they print: a child's exit code and standard error, and the
// lines step 8 prints when standard output is a file; and a fixture for tests that start the
// stand-in child.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "driver/console.h"
#include "driver/leftover_sweep.h"
#include "system/path.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel::testing {

struct CapturedRun {
  std::uint32_t exit_code = 0;
  std::string errors;  // standard error, bytes as written
};

inline std::string drain(HANDLE handle) {
  std::string text;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(handle, chunk, sizeof(chunk), &read, nullptr) && read > 0)
    text.append(chunk, read);
  return text;
}

// Starts `command_line` (application found by CreateProcessW's own rules) with standard input and
// output on the null device and standard error in a pipe, and waits for it.
inline CapturedRun run_captured(const std::wstring& command_line) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  const UniqueFile null_device(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                           OPEN_EXISTING, 0, nullptr));
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  EXPECT_TRUE(CreatePipe(&read, &write, &inherit, 0));
  const UniqueKernelHandle errors(read);
  UniqueKernelHandle errors_write(write);
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = null_device.get();
  startup.hStdError = write;
  std::wstring line = command_line;
  PROCESS_INFORMATION info{};
  CapturedRun run;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info)) {
    ADD_FAILURE() << "cannot start " << to_utf8_lossy(command_line) << ": " << GetLastError();
    return run;
  }
  const UniqueKernelHandle thread(info.hThread);
  const UniqueKernelHandle process(info.hProcess);
  errors_write.reset();  // only the child holds it now, so the pipe ends when the child does
  run.errors = drain(errors.get());
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.get(), &exit_code);
  run.exit_code = exit_code;
  return run;
}

// Step 8 run on `root` below a scratch directory, with standard output sent to a file beside it.
struct CapturedSweep {
  SweepCounts counts;
  std::optional<std::string> lines;  // nothing when the file cannot be read
};

inline CapturedSweep captured_sweep(const ScratchDirectory& scratch, std::wstring_view root) {
  UniqueFile file(CreateFileW(scratch.at(L"transcript.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, CREATE_ALWAYS, 0, nullptr));
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file.get());
  const SweepCounts counts = sweep_leftovers(*to_utf8_strict(scratch.at(root)));
  (void)flush_output();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  file.reset();
  return {counts, scratch.content(L"transcript.txt")};
}

// This test program's own path, and the stand-in child's, which is built beside it.
inline std::wstring own_executable() {
  return query_text(own_module_file_name).value_or(L"");
}

inline std::wstring test_child_executable() {
  const std::wstring self = own_executable();
  return self.substr(0, self.find_last_of(L'\\') + 1) + L"test_child.exe";
}

inline std::optional<std::string> read_file(const std::wstring& path) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  return drain(file.get());
}

// A scratch directory for tests that start the stand-in child: PATH as each test sets it, put
// back in tear-down; copies of the child below the scratch directory; the record it writes there.
class ChildProgramTest : public ScratchTest {
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

}  // namespace voxtrel::testing
