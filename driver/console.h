// The tool's standard output: line-buffered through one process-wide 1024-byte buffer, UTF-16 to
// a console whose code page is not UTF-8, the bytes unchanged to anything else. A missing or
// invalid handle drops the text; any other write failure ends the process by fail-fast.
#pragma once

#include <cstddef>
#include <string_view>

#include "system/error.h"

namespace voxtrel {

inline constexpr std::size_t kOutputBufferBytes = 1024;

// Buffers `text`; every complete line reaches standard output when its newline is printed.
void print(std::string_view text);

// Writes whatever waits after the last newline. The caller decides whether a failure matters.
[[nodiscard]] Status flush_output();

// Whether standard output is a console (not a file, a pipe, or missing).
[[nodiscard]] bool output_is_console();

// Reads one line from standard input and discards it: returns at the end of a line, at the end
// of input, on a read failure, or at once when there is no standard input.
void read_line_from_input();

// Length of the longest prefix of `bytes` that does not end inside a UTF-8 sequence that more
// bytes could still complete.
[[nodiscard]] std::size_t complete_utf8_prefix(std::string_view bytes);

}  // namespace voxtrel
