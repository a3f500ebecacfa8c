// What the tool prints: its text as UTF-8 and UTF-16, what reaches standard output and a console,
// and the title during the long steps.
// This program is also its own child: with VOXTREL_CONSOLE_CHILD set it runs one of the modes
// below instead of the tests, so a test can see what really reaches a handle or a console.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/format.h"
#include "driver/leftover_sweep.h"
#include "driver/progress_title.h"
#include "system/file_system_calls.h"
#include "system/path.h"
#include "system/text.h"
#include "system/tree_removal.h"
#include "system/unique_handle.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kChildModeVariable[] = L"VOXTREL_CONSOLE_CHILD";

TEST(TextConversion, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";  // a é 中 😀 z
  const std::wstring wide = to_wide(text);
  EXPECT_EQ(wide, (std::wstring{L'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00, L'z'}));
  EXPECT_EQ(to_utf8_strict(wide), text);
  EXPECT_EQ(to_utf8_lossy(wide), text);
}

TEST(TextConversion, UnpairedSurrogatesAreRefusedOrReplaced) {
  const std::wstring lone_high{L'x', 0xD800, L'y'};
  const std::wstring lone_low{0xDC00};
  const std::wstring reversed{0xDC00, 0xD800};
  for (const auto& text : {lone_high, lone_low, reversed})
    EXPECT_EQ(to_utf8_strict(text), std::nullopt);
  EXPECT_EQ(to_utf8_lossy(lone_high), "x\xEF\xBF\xBDy");
  EXPECT_EQ(to_utf8_lossy(reversed), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextConversion, MalformedUtf8BecomesReplacementCharacters) {
  const wchar_t bad = 0xFFFD;
  EXPECT_EQ(to_wide(std::string("a\xFF") + "b"), (std::wstring{L'a', bad, L'b'}));
  EXPECT_EQ(to_wide("\xC3"), std::wstring(1, bad));          // cut short
  EXPECT_EQ(to_wide("\xC0\xAF"), std::wstring(2, bad));      // overlong
  EXPECT_EQ(to_wide("\xED\xA0\x80"), std::wstring(3, bad));  // encoded surrogate
}

// A path is shown whole up to the bound; past it, 510 units of its start and 511 of its end with
// "..." between, less a unit at each cut that would split a surrogate pair. Unpaired surrogates
// show as U+FFFD either way.
TEST(ShownPath, LongPathsKeepTheirStartAndEndWithinTheBoundTable) {
  const auto units = [](std::size_t count, wchar_t unit) { return std::wstring(count, unit); };
  const std::wstring pair = L"\xD83D\xDE00";  // U+1F600
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"C:\\ProgramData\\x\\voxtrel-agent.exe.old", L"C:\\ProgramData\\x\\voxtrel-agent.exe.old"},
      {units(kMaxShownPathUnits, L'a'), units(kMaxShownPathUnits, L'a')},
      {units(1022, L'a') + pair, units(1022, L'a') + pair},
      {units(510, L'h') + units(5, L'm') + units(510, L't'),
       units(510, L'h') + L"..." + L"m" + units(510, L't')},
      // The pair at the start's cut, then at the end's: it is left out whole.
      {units(509, L'h') + pair + units(4, L'm') + units(510, L't'),
       units(509, L'h') + L"..." + L"m" + units(510, L't')},
      {units(510, L'h') + units(3, L'm') + pair + units(510, L't'),
       units(510, L'h') + L"..." + units(510, L't')},
      {units(509, L'h') + L"\xD800" + units(5, L'm') + units(510, L't'),
       units(509, L'h') + L"\xFFFD..." + L"m" + units(510, L't')},
      {L"C:\\x\xDC00y", L"C:\\x\xFFFDy"},
  };
  for (const auto& [path, shown] : cases) {
    EXPECT_EQ(shown_path(path), to_utf8_strict(shown).value_or("<not valid>"))
        << path.size() << " units";
    EXPECT_LE(shown.size(), kMaxShownPathUnits);
  }
}

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

TEST(ProgressTitleText, NamesTheStepAndItsCountInGroupsOfThreeDigits) {
  // Each text without its commas is the value it is the grouping of.
  for (const std::string text :
       {"0", "999", "1,000", "12,345", "184,230", "1,000,000", "18,446,744,073,709,551,615"}) {
    std::string digits = text;
    std::erase(digits, ',');
    EXPECT_EQ(group_digits(std::stoull(digits)), text);
  }
  EXPECT_EQ(progress_title(8, WalkKind::kSearched, 184230),
            "Voxtrel Force-Removal Tool - step 8 of 8: 184,230 entries searched");
  EXPECT_EQ(progress_title(5, WalkKind::kRemoved, 0),
            "Voxtrel Force-Removal Tool - step 5 of 8: 0 entries removed");
}

constexpr ProgressClock::time_point kStart{1h};

// At most four titles a second: one is due a quarter second after the last one shown.
TEST(TitlePacing, AddsUpAndIsDueAQuarterSecondAfterTheLastTitleShown) {
  TitlePacing pacing;
  pacing.restart(kStart);
  EXPECT_FALSE(pacing.advance(1024, kStart + 249ms));
  EXPECT_TRUE(pacing.advance(1024, kStart + 250ms));
  EXPECT_EQ(pacing.total(), 2048u);
  // The interval runs from the title last shown, not from the step's start or a fixed beat:
  // after a long pause (a slow entry) the next report is shown at once, and the one after waits.
  EXPECT_FALSE(pacing.advance(1024, kStart + 499ms));
  EXPECT_TRUE(pacing.advance(1024, kStart + 500ms));
  EXPECT_TRUE(pacing.advance(1024, kStart + 10s));
  EXPECT_FALSE(pacing.advance(1024, kStart + 10001ms));
  // A restart begins a new total, shown at once.
  pacing.restart(kStart + 20s);
  EXPECT_EQ(pacing.total(), 0u);
  EXPECT_FALSE(pacing.advance(1024, kStart + 20249ms));
  EXPECT_TRUE(pacing.advance(1024, kStart + 20250ms));
  EXPECT_EQ(pacing.total(), 2048u);
}

// The console's title as it is now; nothing without a console.
std::optional<std::wstring> console_title() {
  std::vector<wchar_t> buffer(32768);
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetConsoleTitleW(buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 && GetLastError() != ERROR_SUCCESS) return std::nullopt;
  return std::wstring(buffer.data(), length);
}

// The tool's title needs standard output on the console; the process-wide one (the benchmark's)
// shows each step and puts the original title back when it goes, if it showed one.
TEST(ConsoleWithOutputToNul, TitleShownOnlyInScopeAndTheOriginalComesBack) {
  const auto before = console_title();
  if (!before) GTEST_SKIP() << "this process has no console whose title could be read";
  // Standard output on the null device, which is not a console; the process keeps its console
  // (under Wine only when started on a terminal). No ASSERT below: both must be put back.
  const UniqueFile nul(
      CreateFileW(L"NUL", GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(nul);
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, nul.get());
  const std::wstring original = L"progress-title-test original";
  {
    ProgressTitle title;
    EXPECT_EQ(title.start_step(8, WalkKind::kSearched), nullptr);
    EXPECT_EQ(title.titles_shown(), 0u);
    ProgressTitle unused(TitleScope::kAnyConsole);
    EXPECT_TRUE(SetConsoleTitleW(original.c_str()));
  }
  EXPECT_EQ(console_title(), original) << "a title put back although none was shown";
  {
    ProgressTitle title(TitleScope::kAnyConsole);
    EXPECT_NE(title.start_step(6, WalkKind::kRemoved), nullptr);
    EXPECT_EQ(console_title(),
              to_wide("Voxtrel Force-Removal Tool - step 6 of 8: 0 entries removed"));
    (void)title.start_step(8, WalkKind::kSearched);
    EXPECT_EQ(console_title(),
              to_wide("Voxtrel Force-Removal Tool - step 8 of 8: 0 entries searched"));
  }
  EXPECT_EQ(console_title(), original);
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  SetConsoleTitleW(before->c_str());
}

struct Reports final : WalkProgress {
  void advance(std::uint64_t entries) override { reports.push_back(entries); }
  std::vector<std::uint64_t> reports;
};

class WalkReports : public testing::ScratchTest {};

// 1100 folders of one file each: 2200 entries, two whole intervals and the rest when the walk
// ends (the removal deletes the top as well). Files alone, or folders alone, make one interval.
TEST_F(WalkReports, SearchAndRemovalReportEveryIntervalOfEntriesAndTheRest) {
  for (int folder = 0; folder < 1100; ++folder)
    scratch_.write_file(L"top\\d" + std::to_wstring(folder) + L"\\f");
  Reports searched;
  (void)sweep_leftovers(to_utf8_lossy(scratch_.at(L"top")), &searched);
  EXPECT_EQ(searched.reports, (std::vector<std::uint64_t>{1024, 1024, 2200 - 2048}));
  Reports removed;
  ASSERT_TRUE(remove_tree(scratch_.at(L"top"), &removed).has_value());
  EXPECT_EQ(removed.reports, (std::vector<std::uint64_t>{1024, 1024, 2201 - 2048}));
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
