// Running a program from a test with its standard streams captured, to see what a child really
// receives and prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "system/path.h"
#include "system/text.h"
#include "system/unique_handle.h"

namespace voxtrel::testing {

struct CapturedRun {
  std::uint32_t exit_code = 0;
  std::string output;  // standard output, bytes as written
  std::string errors;  // standard error
};

namespace detail {

struct Pipe {
  UniqueKernelHandle read;
  UniqueKernelHandle write;
};

// A pipe of which the child receives the read end (`child_reads`) or the write end.
inline Pipe make_pipe(bool child_reads) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  EXPECT_TRUE(CreatePipe(&read, &write, &inherit, 0));
  SetHandleInformation(child_reads ? write : read, HANDLE_FLAG_INHERIT, 0);
  return Pipe{UniqueKernelHandle(read), UniqueKernelHandle(write)};
}

inline std::string drain(HANDLE handle) {
  std::string text;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(handle, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    text.append(chunk, read);
  }
  return text;
}

}  // namespace detail

// Starts `command_line` (application found by CreateProcessW's own rules), with an empty standard
// input, and waits for it.
inline CapturedRun run_captured(const std::wstring& command_line) {
  using detail::Pipe, detail::make_pipe, detail::drain;
  Pipe input = make_pipe(true);
  Pipe output = make_pipe(false);
  Pipe errors = make_pipe(false);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.read.get();
  startup.hStdOutput = output.write.get();
  startup.hStdError = errors.write.get();
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
  // Only the child holds its ends now, so the pipes end when it does.
  input = Pipe{};
  output.write.reset();
  errors.write.reset();
  std::thread error_reader([&] { run.errors = drain(errors.read.get()); });
  run.output = drain(output.read.get());
  error_reader.join();
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.get(), &exit_code);
  run.exit_code = exit_code;
  return run;
}

// This test program's own path, and the stand-in child's, which is built beside it.
inline std::wstring own_executable() {
  return query_text(own_module_file_name).value_or(L"");
}

inline std::wstring test_child_executable() {
  const std::wstring self = own_executable();
  return self.substr(0, self.find_last_of(L'\\') + 1) + L"test_child.exe";
}

// The whole content of a file, or nothing.
inline std::optional<std::string> read_file(const std::wstring& path) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  return detail::drain(file.get());
}

}  // namespace voxtrel::testing
