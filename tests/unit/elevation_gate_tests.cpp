#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/elevation_gate.h"
#include "system/process_runner.h"
#include "system/text.h"

namespace voxtrel {
namespace {

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
  const auto line = build_command_line(L"powershell", arguments);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line,
            L"\"powershell\" -Command \"Start-Process 'C:\\Program Files\\it\u2019\u2019s\\x.exe' "
            L"-Verb RunAs\"");
}

}  // namespace
}  // namespace voxtrel
