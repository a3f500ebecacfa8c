// What the tool prints: the transcript's lines filled in, and what reaches standard output and a
// console.
// This program is also its own child: with VOXTREL_CONSOLE_CHILD set it runs one of the modes
// below instead of the tests, so a test can see what really reaches a handle or a console
// (tests/e2e/progress_title.sh starts it so too).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "driver/console.h"
#include "system/format.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "tests/support/child_process.h"

namespace voxtrel {
namespace {

constexpr wchar_t kChildModeVariable[] = L"VOXTREL_CONSOLE_CHILD";

TEST(ConsoleText, CompletePrefixStopsBeforeAnUnfinishedSequence) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},
      {"abc", 3},
      {"a\xC3", 1},  // é cut after its lead byte
      {"a\xC3\xA9", 3},
      {"\xE4\xB8", 0},      // 中 cut after two of three bytes
      {"\xF0\x9F\x98", 0},  // 😀 cut after three of four
      {"\xF0\x9F\x98\x80", 4},
      {"a\x80\x80\x80", 4},  // stray continuation bytes are not held back
  };
  for (const auto& [bytes, complete] : cases)
    EXPECT_EQ(complete_utf8_prefix(bytes), complete) << "bytes: " << bytes.size();
}

TEST(TranscriptText, PlacesAreFilledInOrder) {
  EXPECT_EQ(fill("      Uninstalling MSI: {} ({})\n", {"Voxtrel Agent", "{A-B}"}),
            "      Uninstalling MSI: Voxtrel Agent ({A-B})\n");
  EXPECT_EQ(fill("no places\n", {"x"}), "no places\n");
}

// GetConsoleMode, GetConsoleOutputCP and WriteConsoleW are replaced at link time (the import
// slots at the end of this file) and pass on to the real ones unless `active`: then standard
// output passes for a console with `code_page` whose WriteConsoleW takes at most five units a
// call, or fails with `write_error`.
struct FakeConsole {
  bool active = false;
  UINT code_page = 437;
  DWORD write_error = 0;
  std::wstring written;
};
FakeConsole fake;

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

BOOL WINAPI fake_get_console_mode(HANDLE handle, DWORD* mode) {
  return fake.active || real<decltype(&GetConsoleMode)>("GetConsoleMode")(handle, mode);
}

UINT WINAPI fake_get_console_output_cp() {
  return fake.active ? fake.code_page : real<decltype(&GetConsoleOutputCP)>("GetConsoleOutputCP")();
}

BOOL WINAPI fake_write_console(HANDLE handle, const void* text, DWORD units, DWORD* written,
                               void* reserved) {
  if (!fake.active)
    return real<decltype(&WriteConsoleW)>("WriteConsoleW")(handle, text, units, written, reserved);
  SetLastError(fake.write_error);
  *written = fake.write_error != 0 ? 0 : std::min<DWORD>(units, 5);
  fake.written.append(static_cast<const wchar_t*>(text), *written);
  return fake.write_error == 0;
}

// Standard output redirected into a pipe for the length of one test.
class CapturedOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 1 << 16));
    read_.reset(read);
    write_.reset(write);
    SetStdHandle(STD_OUTPUT_HANDLE, write);
  }
  void TearDown() override {
    (void)flush_output();
    SetStdHandle(STD_OUTPUT_HANDLE, saved_);
  }
  // Everything that has reached the pipe so far (the tests write far less than it holds).
  std::string arrived() {
    DWORD available = 0;
    PeekNamedPipe(read_.get(), nullptr, 0, nullptr, &available, nullptr);
    std::string text(available, '\0');
    if (available > 0) ReadFile(read_.get(), text.data(), available, &available, nullptr);
    return text.substr(0, available);
  }
  UniqueKernelHandle read_;
  UniqueKernelHandle write_;
  const HANDLE saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
};

// Each line reaches a pipe whole when its newline is printed, however long, bytes unchanged.
TEST_F(CapturedOutput, APipeGetsEachLineAtItsNewline) {
  print("abc");
  EXPECT_EQ(arrived(), "");
  print("def\nxyz");
  EXPECT_EQ(arrived(), "abcdef\n");
  const std::string line =
      "caf\xC3\xA9 \xF0\x9F\x98\x80 \xFF\xFE\r\t|" + std::string(3000, 'x') + "\n";
  print(line);
  print(line);
  EXPECT_EQ(arrived(), "xyz" + line + line);
  print("Press Enter to exit...");
  EXPECT_EQ(arrived(), "");
  ASSERT_TRUE(flush_output().has_value());
  EXPECT_EQ(arrived(), "Press Enter to exit...");
}

TEST_F(CapturedOutput, AMissingOrInvalidHandleDropsTheText) {
  for (HANDLE absent : {HANDLE{nullptr}, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x7FF0)}) {
    SetStdHandle(STD_OUTPUT_HANDLE, absent);
    print("dropped");
    EXPECT_TRUE(flush_output().has_value());
  }
  SetStdHandle(STD_OUTPUT_HANDLE, write_.get());
  print("kept\n");
  EXPECT_EQ(arrived(), "kept\n");
}

// A console whose code page is UTF-8 gets the bytes unchanged; any other gets UTF-16 through
// WriteConsoleW, all of it however little each call takes.
TEST_F(CapturedOutput, AConsoleGetsUtf16UnlessItsCodePageIsUtf8) {
  fake = FakeConsole{.active = true, .code_page = CP_UTF8, .write_error = 0, .written = {}};
  const std::string line = "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80\n";
  print(line);
  EXPECT_EQ(arrived(), line);
  fake.code_page = 437;
  print(line);
  const std::wstring written = fake.written;
  fake = FakeConsole{};
  EXPECT_EQ(arrived(), "");
  EXPECT_TRUE(written == L"caf\u00E9 \u4E2D \U0001F600\n") << testing::narrow(written);
}

// Any failure of the console write but a missing handle ends the process by fail-fast at once.
TEST(ChildMode, AFailedConsoleWriteEndsTheRun) {
  SetEnvironmentVariableW(kChildModeVariable, L"refused");
  const auto run = testing::run_captured(L"\"" + testing::own_executable() + L"\"");
  SetEnvironmentVariableW(kChildModeVariable, nullptr);
  EXPECT_EQ(run.exit_code, static_cast<std::uint32_t>(STATUS_STACK_BUFFER_OVERRUN));
  EXPECT_TRUE(run.errors.starts_with("failed printing to stdout: ")) << run.errors;
}

// For tests/e2e/progress_title.sh on a pseudo-terminal: a character split between two writes.
int split_character_mode() {
  print(std::string(kOutputBufferBytes - 1, '.'));
  print("\xC3\xA9|\n");  // the buffer fills between the two bytes of "é"
  print("Press Enter to exit...");
  (void)flush_output();
  read_line_from_input();
  return 0;
}

int refused_mode() {
  fake = FakeConsole{
      .active = true, .code_page = 437, .write_error = ERROR_NOT_ENOUGH_MEMORY, .written = {}};
  print("lost\n");
  return 0;
}

}  // namespace
}  // namespace voxtrel

// The import slots of the three console calls (see FakeConsole).
extern "C" {
decltype(&GetConsoleMode) __imp_GetConsoleMode = voxtrel::fake_get_console_mode;
decltype(&GetConsoleOutputCP) __imp_GetConsoleOutputCP = voxtrel::fake_get_console_output_cp;
decltype(&WriteConsoleW) __imp_WriteConsoleW = voxtrel::fake_write_console;
}

int main(int argc, char** argv) {
  wchar_t mode[32] = {};
  if (GetEnvironmentVariableW(voxtrel::kChildModeVariable, mode, 32) > 0) {
    const std::wstring_view name = mode;
    if (name == L"split") return voxtrel::split_character_mode();
    if (name == L"refused") return voxtrel::refused_mode();
    return 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
