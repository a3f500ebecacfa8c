#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/leftover_sweep.h"
#include "system/file_system_calls.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "tests/support/file_system_fakes.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;
using testing::ScratchTest;

constexpr std::string_view kRemoving = "      Removing: ";
constexpr std::string_view kFailed = "      Failed to remove: ";

TEST(LeftoverName, PrefixIsExactCaseSensitiveAndAnchoredTable) {
  const struct {
    std::wstring name;
    bool matches;
  } cases[] = {
      {L"voxtrel-agent.exe.old", true},
      {L"voxtrel-agent.exe.old.1", true},
      {L"voxtrel-agent.exe.old2", true},
      {L"voxtrel-agent.exe.old.bak", true},
      {L"voxtrel-agent.exe.old\xD83D\xDE00", true},  // a whole surrogate pair after the prefix
      {L"voxtrel-agent.exe", false},
      {L"voxtrel-agent.exe.ol", false},
      {L"Voxtrel-agent.exe.old", false},
      {L"voxtrel-agent.EXE.old", false},
      {L"voxtrel-agent.exe.OLD", false},
      {L"xvoxtrel-agent.exe.old", false},
      {L" voxtrel-agent.exe.old", false},
      {L"voxtrel-agent.exe.old\xD800", false},  // unpaired surrogate: not valid Unicode
      {L"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_leftover_name(c.name), c.matches) << narrow(c.name);
}

TEST(LeftoverSummary, CountsDecideTheLinesTable) {
  const struct {
    SweepCounts counts;
    std::string lines;
  } cases[] = {
      {{0, 0}, "      No leftover .old files found.\n"},
      {{1, 0}, "      Removed 1 leftover file(s).\n"},
      {{0, 2}, "      Failed to remove 2 leftover file(s).\n"},
      {{12, 1}, "      Removed 12 leftover file(s).\n      Failed to remove 1 leftover file(s).\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(leftover_summary(c.counts), c.lines) << c.counts.removed << "/" << c.counts.failed;
  }
}

class LeftoverSweep : public ScratchTest {
 protected:
  struct Run {
    SweepCounts counts;
    std::string output;
  };

  // Sweeps `root` below the scratch directory with standard output sent to a file beside it.
  Run sweep(std::wstring_view root) {
    const std::wstring capture = scratch_.at(L"transcript.txt");
    const HANDLE file = CreateFileW(capture.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    Run run;
    run.counts = sweep_leftovers(*to_utf8_strict(scratch_.at(root)));
    (void)flush_output();
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    CloseHandle(file);
    run.output = scratch_.content(L"transcript.txt").value_or("");
    return run;
  }

  std::string line(std::string_view start, std::wstring_view relative) {
    return std::string(start) + narrow(scratch_.at(relative)) + "\n";
  }
};

// The lines a plain recursive walk prints, in the platform's listing order, computed before the
// sweep runs.
void recursive_walk(const std::wstring& directory, std::string& lines) {
  for (const WIN32_FIND_DATAW& entry : testing::listing(directory)) {
    const std::wstring path = directory + L"\\" + entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      recursive_walk(path, lines);
    } else if (std::wstring_view(entry.cFileName).starts_with(L"voxtrel-agent.exe.old")) {
      lines += std::string(kRemoving) + narrow(path) + "\n";
    }
  }
}

TEST_F(LeftoverSweep, DepthFirstInListingOrderAndOnlyMatchingFilesGo) {
  const std::wstring leftovers[] = {
      L"root\\voxtrel-agent.exe.old.0",      L"root\\a\\voxtrel-agent.exe.old.1",
      L"root\\a\\b\\voxtrel-agent.exe.old2", L"root\\a\\b\\c\\voxtrel-agent.exe.old.3",
      L"root\\a\\voxtrel-agent.exe.old.4",   L"root\\voxtrel-agent.exe.old\\voxtrel-agent.exe.old",
      L"root\\f\\g\\voxtrel-agent.exe.old5", L"root\\f\\voxtrel-agent.exe.old.bak",
  };
  const std::wstring decoys[] = {
      L"root\\voxtrel-agent.exe",         L"root\\voxtrel-agent.exe.ol",
      L"root\\a\\Voxtrel-agent.exe.old",  L"root\\a\\b\\voxtrel-agent.EXE.old",
      L"root\\f\\xvoxtrel-agent.exe.old", L"root\\f\\g\\old-voxtrel-agent.exe.old",
  };
  for (const auto& path : leftovers) scratch_.write_file(path);
  for (const auto& path : decoys) scratch_.write_file(path, "decoy");
  scratch_.make_directory(L"root\\e");
  std::string expected;
  recursive_walk(scratch_.at(L"root"), expected);

  const Run run = sweep(L"root");
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(run.counts.removed, std::size(leftovers));
  EXPECT_EQ(run.counts.failed, 0u);
  for (const auto& path : leftovers) EXPECT_FALSE(scratch_.exists(path)) << narrow(path);
  for (const auto& path : decoys) EXPECT_EQ(scratch_.content(path), "decoy") << narrow(path);
  EXPECT_TRUE(scratch_.exists(L"root\\voxtrel-agent.exe.old")) << "a directory is not a leftover";
  EXPECT_TRUE(scratch_.exists(L"root\\e"));
}

TEST_F(LeftoverSweep, FailedRemovalIsReportedAndCountedApart) {
  scratch_.write_file(L"root\\held\\voxtrel-agent.exe.old", "held");
  const std::wstring held_path = scratch_.at(L"root\\held\\voxtrel-agent.exe.old");
  const HANDLE held =
      CreateFileW(held_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const Run run = sweep(L"root\\held");
  CloseHandle(held);
  EXPECT_EQ(run.output, line(kRemoving, L"root\\held\\voxtrel-agent.exe.old") +
                            line(kFailed, L"root\\held\\voxtrel-agent.exe.old"));
  EXPECT_EQ(run.counts.removed, 0u);
  EXPECT_EQ(run.counts.failed, 1u);
  EXPECT_EQ(scratch_.content(L"root\\held\\voxtrel-agent.exe.old"), "held");
}

// Where the file system accepts the extended disposition (NTFS, Windows 10 1809 and later), a
// read-only leftover goes; where it does not (Wine, FAT), it stays and is reported.
TEST_F(LeftoverSweep, ReadOnlyLeftoverGoesWhereTheExtendedDispositionIsAccepted) {
  scratch_.write_file(L"root\\voxtrel-agent.exe.old");
  scratch_.make_read_only(L"root\\voxtrel-agent.exe.old");
  {
    const testing::ScopedFileSystemCalls restore;
    file_system_calls.set_information = &testing::set_information_as_ntfs;
    const Run run = sweep(L"root");
    EXPECT_EQ(run.output, line(kRemoving, L"root\\voxtrel-agent.exe.old"));
    EXPECT_EQ(run.counts.removed, 1u);
  }
  EXPECT_FALSE(scratch_.exists(L"root\\voxtrel-agent.exe.old"));
}

TEST_F(LeftoverSweep, MissingRootOrFileAsRootIsSilent) {
  scratch_.write_file(L"voxtrel-agent.exe.old");
  for (const std::wstring_view root : {L"missing", L"voxtrel-agent.exe.old"}) {
    const Run run = sweep(root);
    EXPECT_EQ(run.output, "") << narrow(root);
    EXPECT_EQ(run.counts.removed + run.counts.failed, 0u) << narrow(root);
  }
  EXPECT_TRUE(scratch_.exists(L"voxtrel-agent.exe.old"));
}

TEST_F(LeftoverSweep, SubdirectoryWithUnpairedSurrogateIsSearchedUnderItsOwnName) {
  const std::wstring odd = L"root\\odd\xD800";
  scratch_.make_directory(L"root");
  if (!CreateDirectoryW(scratch_.at(odd).c_str(), nullptr)) {
    GTEST_SKIP() << "the file system refuses a name with an unpaired surrogate";
  }
  const auto listed = testing::listing(scratch_.at(L"root"));
  if (listed.size() != 1 || std::wstring_view(listed[0].cFileName) != L"odd\xD800") {
    GTEST_SKIP() << "the file system does not keep an unpaired surrogate in a name";
  }
  scratch_.write_file(odd + L"\\voxtrel-agent.exe.old");
  scratch_.write_file(odd + L"\\voxtrel-agent.exe.old\xDC00", "not valid Unicode");
  const Run run = sweep(L"root");
  // Shown with U+FFFD, but deleted under the name the platform gave.
  EXPECT_EQ(run.output, std::string(kRemoving) + narrow(scratch_.at(L"root")) +
                            "\\odd\xEF\xBF\xBD\\voxtrel-agent.exe.old\n");
  EXPECT_EQ(run.counts.removed, 1u);
  EXPECT_FALSE(scratch_.exists(odd + L"\\voxtrel-agent.exe.old"));
  EXPECT_EQ(scratch_.content(odd + L"\\voxtrel-agent.exe.old\xDC00"), "not valid Unicode");
}

}  // namespace
}  // namespace voxtrel
