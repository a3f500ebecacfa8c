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

// Starts `command_line` (application found by CreateProcessW's own rules), with an empty standard
// input, and waits for it.
[[nodiscard]] CapturedRun run_captured(const std::wstring& command_line);

// This test program's own path, and the stand-in child's, which is built beside it.
[[nodiscard]] std::wstring own_executable();
[[nodiscard]] std::wstring test_child_executable();

// The whole content of a file, or nothing.
[[nodiscard]] std::optional<std::string> read_file(const std::wstring& path);

}  // namespace voxtrel::testing
