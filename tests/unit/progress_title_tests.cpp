// The console's title during the long steps: its text, how often it changes, whose console it
// is shown on and that the original comes back; and the walks' progress reports it counts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/leftover_sweep.h"
#include "driver/progress_title.h"
#include "system/file_system_calls.h"
#include "system/text.h"
#include "system/tree_removal.h"
#include "system/unique_handle.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using namespace std::chrono_literals;

TEST(ProgressTitleText, NamesTheStepAndItsCountInGroupsOfThreeDigits) {
  // Each text without its commas is the value it is the grouping of.
  for (const std::string text :
       {"0", "999", "1,000", "12,345", "184,230", "1,000,000", "18,446,744,073,709,551,615"}) {
    std::string digits = text;
    std::erase(digits, ',');
    EXPECT_EQ(group_digits(std::stoull(digits)), text);
  }
  EXPECT_EQ(progress_title(8, WalkKind::kSearch, 184230),
            "Voxtrel Force-Removal Tool - step 8 of 8: 184,230 entries searched");
  EXPECT_EQ(progress_title(5, WalkKind::kRemoval, 0),
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

// The title is used only where standard output is the console when it is made; then it shows each
// step and puts the original title back when it goes, if it showed one.
TEST(ConsoleWithOutputToNul, TitleShownOnlyInScopeAndTheOriginalComesBack) {
  const auto before = console_title();
  if (!before) GTEST_SKIP() << "this process has no console whose title could be read";
  // Standard output on the null device, which is not a console; the process keeps its console
  // (under Wine only when started on a terminal). No ASSERT below: both must be put back.
  const UniqueFile nul(
      CreateFileW(L"NUL", GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(nul);
  const UniqueFile console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
  ASSERT_TRUE(console);
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, nul.get());
  const std::wstring original = L"progress-title-test original";
  {
    ProgressTitle title;
    EXPECT_EQ(title.start_step(8, WalkKind::kSearch), nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, console.get());
    ProgressTitle unused;
    SetStdHandle(STD_OUTPUT_HANDLE, nul.get());
    EXPECT_TRUE(SetConsoleTitleW(original.c_str()));
  }
  EXPECT_EQ(console_title(), original) << "a title put back although none was shown";
  {
    SetStdHandle(STD_OUTPUT_HANDLE, console.get());
    ProgressTitle title;
    SetStdHandle(STD_OUTPUT_HANDLE, nul.get());
    EXPECT_NE(title.start_step(6, WalkKind::kRemoval), nullptr);
    EXPECT_EQ(console_title(),
              to_wide("Voxtrel Force-Removal Tool - step 6 of 8: 0 entries removed"));
    (void)title.start_step(8, WalkKind::kSearch);
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

}  // namespace
}  // namespace voxtrel
