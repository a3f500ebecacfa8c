#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "driver/leftover_sweep.h"
#include "driver/progress_title.h"
#include "system/file_ops.h"
#include "system/text.h"
#include "system/tree_removal.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using namespace std::chrono_literals;
using testing::ScratchTest;

TEST(GroupDigits, CommaBetweenGroupsOfThreeTable) {
  const struct {
    std::uint64_t value;
    std::string text;
  } cases[] = {
      {0, "0"},
      {7, "7"},
      {999, "999"},
      {1000, "1,000"},
      {12345, "12,345"},
      {184230, "184,230"},
      {1000000, "1,000,000"},
      {std::numeric_limits<std::uint64_t>::max(), "18,446,744,073,709,551,615"},
  };
  for (const auto& c : cases) EXPECT_EQ(group_digits(c.value), c.text) << c.value;
}

TEST(ProgressTitleText, NamesTheStepAndWhatItDidTable) {
  const struct {
    int step;
    WalkKind kind;
    std::uint64_t entries;
    std::string title;
  } cases[] = {
      {8, WalkKind::kSearched, 184230,
       "Voxtrel Force-Removal Tool - step 8 of 8: 184,230 entries searched"},
      {5, WalkKind::kRemoved, 0, "Voxtrel Force-Removal Tool - step 5 of 8: 0 entries removed"},
      {6, WalkKind::kRemoved, 1024,
       "Voxtrel Force-Removal Tool - step 6 of 8: 1,024 entries removed"},
  };
  for (const auto& c : cases) EXPECT_EQ(progress_title(c.step, c.kind, c.entries), c.title);
}

constexpr ProgressClock::time_point kStart{1h};

TEST(TitlePacing, DueAQuarterSecondAfterTheLastTitleShown) {
  TitlePacing pacing;
  pacing.restart(kStart);
  EXPECT_FALSE(pacing.advance(1024, kStart + 10ms));
  EXPECT_FALSE(pacing.advance(1024, kStart + 249ms));
  EXPECT_TRUE(pacing.advance(1024, kStart + 250ms));
  EXPECT_EQ(pacing.total(), 3072u);
  // The interval runs from the title shown at 250 ms, not from the step's start.
  EXPECT_FALSE(pacing.advance(1024, kStart + 400ms));
  EXPECT_FALSE(pacing.advance(1024, kStart + 499ms));
  EXPECT_TRUE(pacing.advance(1024, kStart + 500ms));
  // After a long pause (a slow entry) the next report is shown at once.
  EXPECT_TRUE(pacing.advance(1024, kStart + 10s));
  EXPECT_EQ(pacing.total(), 7u * 1024u);
}

TEST(TitlePacing, AtMostFourTitlesASecondHoweverOftenReportsCome) {
  TitlePacing pacing;
  pacing.restart(kStart);
  int shown = 0;
  for (auto at = kStart; at < kStart + 10s; at += 1ms) shown += pacing.advance(1, at) ? 1 : 0;
  EXPECT_EQ(shown, 39);  // at 250 ms, 500 ms, ..., 9750 ms: the start itself was shown
  EXPECT_EQ(pacing.total(), 10000u);
}

TEST(TitlePacing, RestartBeginsANewTotalShownAtOnce) {
  TitlePacing pacing;
  pacing.restart(kStart);
  EXPECT_TRUE(pacing.advance(5000, kStart + 1s));
  pacing.restart(kStart + 1100ms);
  EXPECT_EQ(pacing.total(), 0u);
  EXPECT_FALSE(pacing.advance(1024, kStart + 1300ms));
  EXPECT_TRUE(pacing.advance(1024, kStart + 1350ms));
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

// Standard output on the null device, which is not a console, for the length of one test; the
// process keeps its console, if it has one (under Wine only when started on a terminal).
class ConsoleWithOutputToNul : public ::testing::Test {
 protected:
  void SetUp() override {
    nul_.reset(CreateFileW(L"NUL", GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(nul_);
    saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, nul_.get());
  }
  void TearDown() override { SetStdHandle(STD_OUTPUT_HANDLE, saved_); }

  UniqueFile nul_;
  HANDLE saved_ = nullptr;
};

TEST_F(ConsoleWithOutputToNul, NoTitleWhenStandardOutputIsNotAConsole) {
  const auto before = console_title();
  if (!before) GTEST_SKIP() << "this process has no console whose title could be read";
  {
    ProgressTitle title;
    EXPECT_EQ(title.start_step(8, WalkKind::kSearched), nullptr);
    EXPECT_EQ(title.titles_shown(), 0u);
  }
  EXPECT_EQ(console_title(), before);
}

TEST_F(ConsoleWithOutputToNul, ProcessConsoleShowsTheStepAndGetsItsTitleBack) {
  const auto before = console_title();
  if (!before) GTEST_SKIP() << "this process has no console whose title could be read";
  const std::wstring original = L"progress-title-test original";
  ASSERT_TRUE(SetConsoleTitleW(original.c_str()));
  {
    ProgressTitle title(TitleScope::kAnyConsole);
    WalkProgress* progress = title.start_step(6, WalkKind::kRemoved);
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(console_title(),
              to_wide("Voxtrel Force-Removal Tool - step 6 of 8: 0 entries removed"));
    (void)title.start_step(8, WalkKind::kSearched);
    EXPECT_EQ(console_title(),
              to_wide("Voxtrel Force-Removal Tool - step 8 of 8: 0 entries searched"));
  }
  EXPECT_EQ(console_title(), original);
  SetConsoleTitleW(before->c_str());
}

// A reporter that keeps every report.
class Reports final : public WalkProgress {
 public:
  void advance(std::uint64_t entries) override { reports.push_back(entries); }
  std::vector<std::uint64_t> reports;
};

// A tree of `folders` folders with `files` files each, below `top`.
void make_tree(const testing::ScratchDirectory& scratch, std::wstring_view top, int folders,
               int files) {
  for (int folder = 0; folder < folders; ++folder) {
    for (int file = 0; file < files; ++file) {
      scratch.write_file(std::wstring(top) + L"\\d" + std::to_wstring(folder) + L"\\f" +
                         std::to_wstring(file));
    }
  }
}

class WalkReports : public ScratchTest {};

// 1100 folders of one file each: 2200 entries, two whole intervals and the rest when the walk
// ends (the removal deletes the top as well). Files alone, or folders alone, would make one
// interval.
constexpr int kTreeFolders = 1100;

TEST_F(WalkReports, SweepReportsEveryIntervalOfEntriesListed) {
  make_tree(scratch_, L"top", kTreeFolders, 1);
  Reports reports;
  (void)sweep_leftovers(to_utf8_lossy(scratch_.at(L"top")), &reports);
  EXPECT_EQ(reports.reports,
            (std::vector<std::uint64_t>{kProgressInterval, kProgressInterval, 2200 - 2048}));
}

TEST_F(WalkReports, TreeRemovalReportsEveryIntervalOfEntriesDeleted) {
  make_tree(scratch_, L"top", kTreeFolders, 1);
  Reports reports;
  ASSERT_TRUE(remove_tree(scratch_.at(L"top"), &reports).has_value());
  EXPECT_FALSE(scratch_.exists(L"top"));
  EXPECT_EQ(reports.reports,
            (std::vector<std::uint64_t>{kProgressInterval, kProgressInterval, 2201 - 2048}));
}

}  // namespace
}  // namespace voxtrel
