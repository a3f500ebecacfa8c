// The elevation gate: whether the tool's token is elevated, and the relaunch through PowerShell
// that keeps the tool's path inside one literal.
// This program is also the probe of a limited token: with VOXTREL_TOKEN_CHILD set it answers what
// that token gets instead of running the tests (see token_child; tests/e2e/elevation_gate.sh
// starts it so too).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/elevation_gate.h"
#include "system/file_system_calls.h"
#include "system/process_runner.h"
#include "system/process_token.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/child_process.h"

namespace voxtrel {
namespace {

constexpr wchar_t kTokenChildVariable[] = L"VOXTREL_TOKEN_CHILD";

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

// The elevation gate's two inputs under the limited token UAC links to an elevated
// administrator's: the token reads as not elevated, and the first physical disk is refused.
TEST(ElevationGate, ALimitedTokenIsNotElevatedAndCannotOpenTheDisk) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
  const UniqueKernelHandle token(raw);
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  GetTokenInformation(raw, TokenElevationType, &type, sizeof(type), &size);
  if (type != TokenElevationTypeFull) {
    GTEST_SKIP() << "not run as an administrator under UAC: no limited token to start with";
  }
  SetEnvironmentVariableW(kTokenChildVariable, L"1");
  const auto run = testing::run_captured(L"\"" + testing::test_child_executable() +
                                         L"\" --limited \"" + testing::own_executable() + L"\"");
  SetEnvironmentVariableW(kTokenChildVariable, nullptr);
  ASSERT_EQ(run.exit_code & 4u, 4u) << "the child did not run: " << run.exit_code << run.errors;
  if ((run.exit_code & 2u) != 0) {
    GTEST_SKIP() << "the first physical disk opens under a limited token here (Wine 8, 10)";
  }
  EXPECT_EQ(run.exit_code, 4u) << "the limited token reads as elevated";
}

// In the child, under the limited token: 4, plus 1 if the token reads as elevated, plus 2 if
// the first physical disk opens.
int token_child() {
  const UniqueFile disk(CreateFileW(L"\\\\.\\PHYSICALDRIVE0", GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  return 4 | (is_process_elevated().value_or(true) ? 1 : 0) | (disk ? 2 : 0);
}

}  // namespace
}  // namespace voxtrel

int main(int argc, char** argv) {
  if (GetEnvironmentVariableW(voxtrel::kTokenChildVariable, nullptr, 0) > 0) {
    return voxtrel::token_child();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
