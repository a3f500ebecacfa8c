#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/console.h"
#include "system/process_runner.h"
#include "system/unique_handle.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"

// This program is also its own child: with VOXTREL_CONSOLE_CHILD set it runs one of the modes
// below instead of the tests, so a test can see what really reaches a handle or a console.
namespace voxtrel {
namespace {

constexpr wchar_t kChildModeVariable[] = L"VOXTREL_CONSOLE_CHILD";

// Three console calls are replaced at link time in this program: the tool calls them through
// the import slots defined at the end of this file. They pass on to the real functions unless a
// test makes standard output pass for a console with the given code page, whose WriteConsoleW
// takes at most a few units per call, or fails with `write_error`.
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
  if (fake.active) return TRUE;
  return real<decltype(&GetConsoleMode)>("GetConsoleMode")(handle, mode);
}

UINT WINAPI fake_get_console_output_cp() {
  return fake.active ? fake.code_page : real<decltype(&GetConsoleOutputCP)>("GetConsoleOutputCP")();
}

BOOL WINAPI fake_write_console(HANDLE handle, const void* text, DWORD units, DWORD* written,
                               void* reserved) {
  if (!fake.active) {
    return real<decltype(&WriteConsoleW)>("WriteConsoleW")(handle, text, units, written, reserved);
  }
  if (fake.write_error != 0) {
    SetLastError(fake.write_error);
    return FALSE;
  }
  *written = units < 5 ? units : 5;
  fake.written.append(static_cast<const wchar_t*>(text), *written);
  return TRUE;
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
    saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, write);
  }
  void TearDown() override {
    (void)flush_output();
    SetStdHandle(STD_OUTPUT_HANDLE, saved_);
  }
  // Everything that has reached the pipe so far.
  std::string arrived() {
    std::string text;
    DWORD available = 0;
    while (PeekNamedPipe(read_.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      std::string chunk(available, '\0');
      DWORD read = 0;
      ReadFile(read_.get(), chunk.data(), available, &read, nullptr);
      text.append(chunk, 0, read);
    }
    return text;
  }

  UniqueKernelHandle read_;
  UniqueKernelHandle write_;
  HANDLE saved_ = nullptr;
};

TEST_F(CapturedOutput, TextWaitsForItsNewline) {
  print("abc");
  EXPECT_EQ(arrived(), "");
  print("def\nxyz");
  EXPECT_EQ(arrived(), "abcdef\n");
  print("Press Enter to exit...");
  EXPECT_EQ(arrived(), "");
  ASSERT_TRUE(flush_output().has_value());
  EXPECT_EQ(arrived(), "xyzPress Enter to exit...");
}

TEST_F(CapturedOutput, BytesReachAPipeUnchanged) {
  const std::string text = "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 \xFF\xFE\r\n\t|\n";
  print(text);
  EXPECT_EQ(arrived(), text);
}

TEST_F(CapturedOutput, LinesLongerThanTheBufferArriveWhole) {
  const std::string line = std::string(3000, 'x') + "\xC3\xA9\n";
  print(line);
  print(line);
  EXPECT_EQ(arrived(), line + line);
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

class ChildMode : public ::testing::Test {
 protected:
  testing::CapturedRun run_child(const wchar_t* mode) {
    SetEnvironmentVariableW(kChildModeVariable, mode);
    auto run = testing::run_captured(L"\"" + testing::own_executable() + L"\"");
    SetEnvironmentVariableW(kChildModeVariable, nullptr);
    return run;
  }
};

TEST_F(ChildMode, AChildsOutputLandsBetweenTheToolsLines) {
  const auto run = run_child(L"order");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, "before\nfrom the child\nafter\n");
}

// Any failure of the console write but a missing handle ends the process by fail-fast at once,
// with one line on standard error, before anything else runs.
TEST_F(ChildMode, AFailedConsoleWriteEndsTheRun) {
  const auto run = run_child(L"refused");
  EXPECT_EQ(run.exit_code, static_cast<std::uint32_t>(STATUS_STACK_BUFFER_OVERRUN));
  EXPECT_TRUE(run.errors.starts_with("failed printing to stdout: ")) << run.errors;
  EXPECT_EQ(run.errors.find("still running"), std::string::npos) << run.errors;
}

// Ends the process by fail-fast if anything goes wrong; used under a pseudo-terminal by the
// end-to-end console check: a character split across two writes must reach the console whole.
int split_character_mode() {
  print(std::string(kOutputBufferBytes - 1, '.'));
  print("\xC3\xA9|\n");  // the buffer fills between the two bytes of "é"
  print("Press Enter to exit...");
  (void)flush_output();
  read_line_from_input();
  return 0;
}

int order_mode() {
  print("before\n");
  const std::vector<std::string> arguments = {"--sleep", "300", "--print", "from the child"};
  (void)run_and_wait(testing::narrow(testing::test_child_executable()), arguments);
  print("after\n");
  return 0;
}

int refused_mode() {
  fake = FakeConsole{
      .active = true, .code_page = 437, .write_error = ERROR_NOT_ENOUGH_MEMORY, .written = {}};
  print("lost\n");
  fake = FakeConsole{};
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), "still running\n", 14, &written, nullptr);
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
    if (name == L"order") return voxtrel::order_mode();
    if (name == L"split") return voxtrel::split_character_mode();
    if (name == L"refused") return voxtrel::refused_mode();
    return 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
