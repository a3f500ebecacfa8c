#include "driver/console.h"

#include <array>
#include <string>

#include "system/text.h"

namespace voxtrel {
namespace {

constexpr std::string_view kDiagnosticPrefix = "failed printing to stdout: ";
constexpr std::size_t kMaxUtf8Sequence = 4;
constexpr DWORD kInputChunkBytes = 512;

// Bytes after the last newline, waiting for the next one or an explicit flush.
struct OutputBuffer {
  std::array<char, kOutputBufferBytes> bytes;
  std::size_t used = 0;
};
OutputBuffer output_buffer;

// The start of a UTF-8 sequence that a console write could not convert yet.
std::string pending_console_bytes;

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

[[noreturn]] void fail_fast_on_write(DWORD code) {
  std::string diagnostic(kDiagnosticPrefix);
  diagnostic += system_message(code);
  diagnostic += " (os error " + std::to_string(code) + ")\r\n";
  const HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE) {
    WriteFile(error_output, diagnostic.data(), static_cast<DWORD>(diagnostic.size()), &written,
              nullptr);
  }
  // __fastfail: the process ends at once; no handler, destructor or later step runs.
  asm volatile("int $0x29" : : "c"(FAST_FAIL_FATAL_APP_EXIT));
  __builtin_unreachable();
}

Status write_file_all(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      return fail_os(GetLastError());
    }
    bytes.remove_prefix(written);
  }
  return {};
}

// Converts what forms whole characters; an unfinished sequence at the end waits for the next
// write, so a character split between two writes reaches the console whole.
Status write_console_all(HANDLE handle, std::string_view bytes) {
  pending_console_bytes.append(bytes);
  const std::size_t complete = complete_utf8_prefix(pending_console_bytes);
  const std::wstring wide = to_wide(std::string_view(pending_console_bytes).substr(0, complete));
  pending_console_bytes.erase(0, complete);
  std::wstring_view rest = wide;
  while (!rest.empty()) {
    DWORD written = 0;
    if (!WriteConsoleW(handle, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr)) {
      return fail_os(GetLastError());
    }
    rest.remove_prefix(written);
  }
  return {};
}

// A missing or invalid handle swallows the bytes; other failures are returned.
Status write_out(std::string_view bytes) {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
  const bool to_console = is_console(handle) && GetConsoleOutputCP() != CP_UTF8;
  Status written = to_console ? write_console_all(handle, bytes) : write_file_all(handle, bytes);
  if (!written && written.error().is_os(ERROR_INVALID_HANDLE)) return {};
  return written;
}

Status write_buffer() {
  const std::string_view bytes(output_buffer.bytes.data(), output_buffer.used);
  output_buffer.used = 0;
  return write_out(bytes);
}

void write_buffer_or_die() {
  if (auto written = write_buffer(); !written) fail_fast_on_write(written.error().code());
}

void append_to_buffer(std::string_view text) {
  while (!text.empty()) {
    if (output_buffer.used == output_buffer.bytes.size()) write_buffer_or_die();
    const std::size_t room = output_buffer.bytes.size() - output_buffer.used;
    const std::size_t take = text.size() < room ? text.size() : room;
    text.copy(output_buffer.bytes.data() + output_buffer.used, take);
    output_buffer.used += take;
    text.remove_prefix(take);
  }
}

}  // namespace

std::size_t complete_utf8_prefix(std::string_view bytes) {
  // Look back at most three bytes for the lead byte of an unfinished sequence.
  const std::size_t lookback = bytes.size() < kMaxUtf8Sequence - 1 ? bytes.size() : 3;
  for (std::size_t back = 1; back <= lookback; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation: keep looking for the lead
    std::size_t needed = 0;
    if ((byte & 0xE0) == 0xC0) needed = 2;
    if ((byte & 0xF0) == 0xE0) needed = 3;
    if ((byte & 0xF8) == 0xF0) needed = 4;
    return needed > back ? bytes.size() - back : bytes.size();
  }
  return bytes.size();
}

void print(std::string_view text) {
  while (!text.empty()) {
    const auto newline = text.find('\n');
    if (newline == std::string_view::npos) {
      append_to_buffer(text);
      return;
    }
    append_to_buffer(text.substr(0, newline + 1));
    write_buffer_or_die();
    text.remove_prefix(newline + 1);
  }
}

bool output_is_console() {
  return is_console(GetStdHandle(STD_OUTPUT_HANDLE));
}

Status flush_output() {
  return write_buffer();
}

void read_line_from_input() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return;
  std::array<char, kInputChunkBytes> chunk;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(input, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) return;
    if (read == 0) return;
    if (std::string_view(chunk.data(), read).find('\n') != std::string_view::npos) return;
  }
}

}  // namespace voxtrel
