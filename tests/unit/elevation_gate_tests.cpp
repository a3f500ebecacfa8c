#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/elevation_gate.h"
#include "system/path.h"
#include "system/process_runner.h"
#include "system/process_token.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

constexpr std::string_view kSystemPowerShellRelative = "WindowsPowerShell\\v1.0\\powershell.exe";
constexpr std::wstring_view kSystemPowerShell =
    L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";

TEST(SingleQuotedLiteral, DoublesEveryCharacterPowerShellTakesAsAQuote) {
  const struct {
    const char* text;
    const char* escaped;
  } cases[] = {
      {"C:\\Tools\\voxtrel-force-remove.exe", "C:\\Tools\\voxtrel-force-remove.exe"},
      {"C:\\My Tools\\x.exe", "C:\\My Tools\\x.exe"},
      {"C:\\it's\\x.exe", "C:\\it''s\\x.exe"},
      {"''", "''''"},
      {"\u2018a\u2019b\u201Ac\u201Bd", "\u2018\u2018a\u2019\u2019b\u201A\u201Ac\u201B\u201Bd"},
      // Look-alikes that PowerShell does not take as quotes stay single.
      {"\u201C\u201D\"`\u00B4\u2032", "\u201C\u201D\"`\u00B4\u2032"},
      {"C:\\\xEF\xBF\xBD\\x.exe", "C:\\\xEF\xBF\xBD\\x.exe"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_single_quoted(c.text), c.escaped) << c.text;
}

TEST(RelaunchCommand, KeepsThePathInsideOneLiteral) {
  EXPECT_EQ(relaunch_command("C:\\it's here\\x.exe"),
            "Start-Process 'C:\\it''s here\\x.exe' -Verb RunAs");
  EXPECT_EQ(relaunch_command("C:\\a'; Remove-Item C:\\ -Recurse; '\\x.exe"),
            "Start-Process 'C:\\a''; Remove-Item C:\\ -Recurse; ''\\x.exe' -Verb RunAs");
}

TEST(RelaunchCommand, ReachesPowerShellAsOneArgument) {
  const std::vector<std::wstring> arguments = {
      L"-Command", to_wide(relaunch_command("C:\\Program Files\\it\u2019s\\x.exe"))};
  const auto line = build_command_line(kSystemPowerShell, arguments);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, L"\"" + std::wstring(kSystemPowerShell) +
                       L"\" -Command \"Start-Process 'C:\\Program Files\\it\u2019\u2019s\\x.exe' "
                       L"-Verb RunAs\"");
}

UniqueKernelHandle own_token() {
  HANDLE raw = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) << GetLastError();
  return UniqueKernelHandle(raw);
}

TOKEN_ELEVATION_TYPE elevation_type(HANDLE token) {
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &size))
      << GetLastError();
  return type;
}

std::string describe(const Result<bool>& elevated) {
  if (!elevated) return "error " + std::to_string(elevated.error().code());
  return *elevated ? "elevated" : "not elevated";
}

// Wine gives every process a full token with a limited one linked to it; Windows does the same
// for an administrator under UAC, either way round.
TEST(ProcessToken, FullTokenIsElevatedAndItsLinkedLimitedTokenIsNot) {
  const UniqueKernelHandle own = own_token();
  const TOKEN_ELEVATION_TYPE type = elevation_type(own.get());
  if (type == TokenElevationTypeDefault) {
    GTEST_SKIP() << "this token has no linked token (UAC is off, or this is a standard user)";
  }
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof(linked), &size))
      << GetLastError();
  const UniqueKernelHandle linked_token(linked.LinkedToken);
  const std::string own_expected = describe(type == TokenElevationTypeFull);
  const std::string linked_expected = describe(type != TokenElevationTypeFull);

  EXPECT_EQ(describe(is_token_elevated(own.get())), own_expected);
  EXPECT_EQ(describe(is_token_elevated(linked_token.get())), linked_expected);
  EXPECT_EQ(describe(is_process_elevated()), own_expected);
}

TEST(ProcessToken, UnreadableTokenIsAFailureWithItsCode) {
  EXPECT_EQ(is_token_elevated(nullptr), std::unexpected(Error::os(ERROR_INVALID_HANDLE)));
}

std::wstring directory_of(const std::wstring& file) {
  return file.substr(0, file.find_last_of(L'\\'));
}

std::wstring system_directory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryW(buffer, MAX_PATH + 1);
  return std::wstring(buffer, length);
}

class SystemProgramPath : public testing::ScratchTest {};

// An sc.exe beside this program is what the process runner would start for the bare name.
TEST_F(SystemProgramPath, NamesTheSystemCopyNotOneBesideTheTool) {
  const std::wstring planted = directory_of(testing::own_executable()) + L"\\sc.exe";
  ASSERT_TRUE(CopyFileW(testing::test_child_executable().c_str(), planted.c_str(), FALSE));
  const auto program = system_program_path("sc.exe");
  const std::wstring record = scratch_.at(L"record.txt");
  if (program) {
    (void)run_and_wait(*program, std::vector<std::string>{"--record", testing::narrow(record)});
  }
  DeleteFileW(planted.c_str());
  ASSERT_TRUE(program.has_value()) << program.error().code();
  EXPECT_EQ(to_wide(*program), system_directory() + L"\\sc.exe");
  EXPECT_FALSE(testing::read_file(record).has_value()) << "the sc.exe beside the tool ran";
}

TEST_F(SystemProgramPath, ReachesIntoFoldersBelowTheSystemDirectory) {
  const auto program = system_program_path(kSystemPowerShellRelative);
  ASSERT_TRUE(program.has_value()) << program.error().code();
  EXPECT_EQ(to_wide(*program), system_directory() + L"\\" + to_wide(kSystemPowerShellRelative));
  EXPECT_NE(GetFileAttributesW(to_wide(*program).c_str()), INVALID_FILE_ATTRIBUTES)
      << "no PowerShell at " << *program;
}

}  // namespace
}  // namespace voxtrel
