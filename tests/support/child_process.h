// Running a program from a test with its standard streams captured, to see what a child really
// receives and prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace voxtrel::testing {

struct CapturedRun {
  std::uint32_t exit_code = 0;
  std::string output;  // standard output, bytes as written
  std::string errors;  // standard error
};

struct CaptureOptions {
  std::optional<std::string> input;  // written to standard input, which is then closed
  bool close_output_early = false;   // close the read end of standard output at once
};

// Starts `command_line` (application found by CreateProcessW's own rules) and waits for it.
[[nodiscard]] CapturedRun run_captured(const std::wstring& command_line,
                                       const CaptureOptions& options = {});

// This test program's own path, and the stand-in child's, which is built beside it.
[[nodiscard]] std::wstring own_executable();
[[nodiscard]] std::wstring test_child_executable();

// The whole content of a file, or nothing.
[[nodiscard]] std::optional<std::string> read_file(const std::wstring& path);

}  // namespace voxtrel::testing
