// The command line a child is started with: each argument written so that the runtime's parser,
// and the platform's own (CommandLineToArgvW), read it back as it was.
#include <gtest/gtest.h>

#include "system/windows_api.h"
// shellapi.h needs <windows.h> first: CommandLineToArgvW, the platform's own parser.
#include <shellapi.h>

#include <random>
#include <string>
#include <vector>

#include "system/process_runner.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;

TEST(ArgumentWriting, QuotesAndBackslashesFollowTheRuntimeRules) {
  const std::wstring_view cases[][2] = {
      {L"stop", L"stop"},
      {L"", L"\"\""},
      {L"a b", L"\"a b\""},
      {L"a\tb", L"\"a\tb\""},
      {L"a\"b", L"a\\\"b"},
      {L"a\\\"b", L"a\\\\\\\"b"},
      {L"C:\\x y\\", L"\"C:\\x y\\\\\""},
      {L"C:\\x\\", L"C:\\x\\"},
      {L"\\\\server\\share", L"\\\\server\\share"},
  };
  for (const auto& c : cases) {
    const std::vector<std::wstring> one = {std::wstring(c[0])};
    EXPECT_EQ(build_command_line(L"p", one), L"\"p\" " + std::wstring(c[1])) << narrow(c[0]);
  }
  EXPECT_EQ(build_command_line(L"p", std::vector{std::wstring(L"a\0b", 3)}),
            std::unexpected(Error::invalid_input(kNulInDataMessage)));
}

TEST(ArgumentWriting, RandomArgumentListsSurviveThePlatformsOwnParser) {
  const std::wstring alphabet = L"ab \t\"\\'\u00e9\u4e2d;";
  std::mt19937 engine(20261208);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::wstring> arguments(1 + engine() % 4);
    for (auto& argument : arguments) {
      for (std::size_t n = engine() % 7; n > 0; --n)
        argument += alphabet[engine() % alphabet.size()];
    }
    const auto line = build_command_line(L"prog.exe", arguments).value_or(L"<failed>");
    int count = 0;
    wchar_t** parsed = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(parsed, nullptr);
    std::vector<std::wstring> back(parsed, parsed + count);
    LocalFree(parsed);
    arguments.insert(arguments.begin(), L"prog.exe");
    ASSERT_EQ(back, arguments) << "line: " << narrow(line);
  }
}

}  // namespace
}  // namespace voxtrel
