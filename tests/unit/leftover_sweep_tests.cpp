// What the tool finds on disk: the entries steps 5 and 6 ask about, the leftovers step 8 sweeps
// and what the footprint check answers from what it finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "agent/footprint.h"
#include "driver/leftover_sweep.h"
#include "footprint/footprint_check.h"
#include "system/file_queries.h"
#include "system/file_system_calls.h"
#include "system/machine_queries.h"
#include "system/tree_search.h"
#include "system/unique_handle.h"
#include "tests/support/child_process.h"
#include "tests/support/failing_allocations.h"
#include "tests/support/file_system_fakes.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;

constexpr std::string_view kRemoving = "      Removing: ";
constexpr std::string_view kFailed = "      Failed to remove: ";
constexpr std::string_view kNotSearched = "      Could not search: ";

TEST(LeftoverName, PrefixIsExactCaseSensitiveAndAnchored) {
  for (const std::wstring_view name :
       {L"voxtrel-agent.exe.old", L"voxtrel-agent.exe.old.1", L"voxtrel-agent.exe.old2",
        L"voxtrel-agent.exe.old.bak", L"voxtrel-agent.exe.old\xD83D\xDE00"})
    EXPECT_TRUE(is_leftover_name(name)) << narrow(name);
  // The last one ends in an unpaired surrogate: not valid Unicode.
  for (const std::wstring_view name :
       {L"voxtrel-agent.exe", L"voxtrel-agent.exe.ol", L"Voxtrel-agent.exe.old",
        L"voxtrel-agent.EXE.old", L"voxtrel-agent.exe.OLD", L"xvoxtrel-agent.exe.old",
        L" voxtrel-agent.exe.old", L"", L"voxtrel-agent.exe.old\xD800"})
    EXPECT_FALSE(is_leftover_name(name)) << narrow(name);
}

// "i0; i1; ..." for the first `count` items.
std::string items(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += i == 0 ? "i" : "; i";
    text += std::to_string(i);
  }
  return text;
}

// Past the bound an item is counted, not made: however many there are, the text stays the same
// size but for the count.
TEST(ItemList, ListsTheFirstItemsThenCountsTheRestWithoutMakingThem) {
  const std::pair<std::size_t, std::string> cases[] = {
      {0, ""},
      {1, "i0"},
      {kMaxListedItems, items(kMaxListedItems)},
      {kMaxListedItems + 1, items(kMaxListedItems) + "; and 1 more"},
      {2000, items(kMaxListedItems) + "; and 1980 more"},
  };
  for (const auto& [count, text] : cases) {
    ItemList list;
    std::size_t made = 0;
    for (std::size_t i = 0; i < count; ++i) {
      list.add([&made, i] {
        ++made;
        // Appended, not "i" + std::to_string(i), which GCC 12 at -O3 takes for an
        // overlapping copy (-Wrestrict).
        std::string item = "i";
        item += std::to_string(i);
        return item;
      });
    }
    EXPECT_EQ(list.text(), text) << count;
    EXPECT_EQ(list.empty(), count == 0) << count;
    EXPECT_EQ(made, std::min(count, kMaxListedItems)) << count;
  }
}

TEST(LeftoverSummary, CountsDecideTheLinesAndFoldersNotSearchedComeFirst) {
  const auto summary = [](std::uint32_t removed, std::uint32_t failed,
                          std::vector<Path> unsearched = {}) {
    return leftover_summary({removed, failed, std::move(unsearched)});
  };
  EXPECT_EQ(summary(0, 0), "      No leftover .old files found.\n");
  EXPECT_EQ(summary(0, 2), "      Failed to remove 2 leftover file(s).\n");
  EXPECT_EQ(summary(12, 1),
            "      Removed 12 leftover file(s).\n      Failed to remove 1 leftover file(s).\n");
  EXPECT_EQ(summary(0, 0, {L"C:\\a", L"C:\\b\xD800"}),
            "      Could not search: C:\\a\n      Could not search: C:\\b\xEF\xBF\xBD\n"
            "      No leftover .old files found.\n");
  EXPECT_EQ(summary(1, 0, {L"C:\\a"}),
            "      Could not search: C:\\a\n      Removed 1 leftover file(s).\n");
}

class LeftoverSweep : public testing::ScratchTest {
 protected:
  // The sweep's lines, then a "Could not search:" line for each folder it could not search.
  void expect_sweep(std::wstring_view root, const std::string& output,
                    std::pair<std::uint32_t, std::uint32_t> counts) {
    const auto [found, lines] = testing::captured_sweep(scratch_, root);
    std::string shown = lines.value_or("");
    for (const Path& folder : found.unsearched) shown += full_line(kNotSearched, folder);
    EXPECT_EQ(shown, output) << narrow(root);
    EXPECT_EQ(std::pair(found.removed, found.failed), counts) << narrow(root);
  }
  std::string line(std::string_view start, std::wstring_view relative) {
    return full_line(start, scratch_.at(relative));
  }
  static std::string full_line(std::string_view start, const Path& path) {
    return std::string(start) + narrow(path) + "\n";
  }
};

// The lines a plain recursive walk prints, in the platform's listing order.
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
  // One more leftover, past the classic path limit.
  const std::wstring long_folder =
      L"root\\" + std::wstring(150, L'l') + L"\\" + std::wstring(150, L'l');
  scratch_.write_file(long_folder + L"\\voxtrel-agent.exe.old");
  for (const auto& path : leftovers) scratch_.write_file(path);
  for (const auto& path : decoys) scratch_.write_file(path, "decoy");
  scratch_.make_directory(L"root\\e");
  std::string expected;
  recursive_walk(scratch_.at(L"root"), expected);
  expect_sweep(L"root", expected, {static_cast<std::uint32_t>(std::size(leftovers)) + 1, 0});
  EXPECT_FALSE(scratch_.exists(long_folder + L"\\voxtrel-agent.exe.old"));
  for (const auto& path : leftovers) EXPECT_FALSE(scratch_.exists(path)) << narrow(path);
  for (const auto& path : decoys) EXPECT_EQ(scratch_.content(path), "decoy") << narrow(path);
  EXPECT_TRUE(scratch_.exists(L"root\\voxtrel-agent.exe.old")) << "a directory is not a leftover";
  EXPECT_TRUE(scratch_.exists(L"root\\e"));
}

// A folder renamed away after it was listed, and a new folder put in its place holding a file of
// the same name: the deletion goes through the handle of the folder that listed the file, so the
// planted file stays. (That the listed one goes, which Wine 8 and 10 cannot do, is a Windows-only
// test.)
TEST_F(LeftoverSweep, DeletionReachesTheListedFileAfterItsFolderWasSwapped) {
  scratch_.write_file(L"top\\evil\\voxtrel-agent.exe.old", "listed");
  auto search = TreeSearch::open(scratch_.at(L"top"), nullptr);
  ASSERT_TRUE(search.has_value());
  const auto entry = search->next();
  ASSERT_TRUE(entry.has_value());
  ASSERT_EQ(search->path_of(*entry), scratch_.at(L"top\\evil\\voxtrel-agent.exe.old"));
  ASSERT_TRUE(MoveFileW(scratch_.at(L"top\\evil").c_str(), scratch_.at(L"top\\moved").c_str()));
  scratch_.write_file(L"top\\evil\\voxtrel-agent.exe.old", "planted");
  EXPECT_TRUE(search->remove(*entry).has_value());
  EXPECT_EQ(scratch_.content(L"top\\evil\\voxtrel-agent.exe.old"), "planted");
}

// Links as Windows shows them (see FakeDirectoryLinks): one out of the root is followed, and its
// read-only leftover goes (NTFS takes the extended disposition) under the link's path; one back
// to the root is not searched again, or its held leftover would show twice; both links stay. The
// held leftover stays, reported and counted apart.
TEST_F(LeftoverSweep, FollowsLinksOnceDeletesReadOnlyLeftoversAndReportsHeldOnes) {
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.set_information = &testing::set_information_as_ntfs;
  testing::FakeDirectoryLinks links;
  scratch_.write_file(L"target\\voxtrel-agent.exe.old");
  scratch_.make_read_only(L"target\\voxtrel-agent.exe.old");
  scratch_.write_file(L"root\\voxtrel-agent.exe.old.held", "held");
  const UniqueFile held(CreateFileW(scratch_.at(L"root\\voxtrel-agent.exe.old.held").c_str(),
                                    GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
  links.add(scratch_.at(L"root\\link"), scratch_.at(L"target"));
  links.add(scratch_.at(L"root\\loop"), scratch_.at(L"root"));
  std::string expected;
  for (const auto& entry : testing::listing(scratch_.at(L"root"))) {
    const std::wstring name = entry.cFileName;
    if (name == L"link") expected += line(kRemoving, L"root\\link\\voxtrel-agent.exe.old");
    if (name != L"voxtrel-agent.exe.old.held") continue;
    expected += line(kRemoving, L"root\\" + name) + line(kFailed, L"root\\" + name);
  }
  expect_sweep(L"root", expected, {1, 1});
  EXPECT_FALSE(scratch_.exists(L"target\\voxtrel-agent.exe.old"));
  EXPECT_EQ(scratch_.content(L"root\\voxtrel-agent.exe.old.held"), "held");
  EXPECT_TRUE(scratch_.exists(L"root\\link") && scratch_.exists(L"root\\loop"));
}

// A leftover or a search root under another process's oplock (a batch oplock the DELETE open
// breaks, or a read-handle one the disposition breaks): a holder that acknowledges in time is no
// failure; one that never does costs one bound, and leaves the leftover reported as not removed,
// or the root reported as not searched. The sweep goes on.
TEST_F(LeftoverSweep, OplockHoldersAreWaitedForWithinTheBound) {
  using std::chrono::milliseconds;
  const std::wstring leftover = L"root\\voxtrel-agent.exe.old";
  const struct {
    std::wstring held;
    bool batch;
    bool acknowledged;
    std::string lines;
    std::pair<std::uint32_t, std::uint32_t> counts;
  } cases[] = {
      {L"voxtrel-agent.exe.old", true, true, line(kRemoving, leftover), {1, 0}},
      {L"voxtrel-agent.exe.old", false, true, line(kRemoving, leftover), {1, 0}},
      {L"voxtrel-agent.exe.old",
       true,
       false,
       line(kRemoving, leftover) + line(kFailed, leftover),
       {0, 1}},
      {L"voxtrel-agent.exe.old",
       false,
       false,
       line(kRemoving, leftover) + line(kFailed, leftover),
       {0, 1}},
      {L"root", true, true, line(kRemoving, leftover), {1, 0}},
      {L"root", true, false, line(kNotSearched, L"root"), {0, 0}},
  };
  for (const auto& c : cases) {
    scratch_.write_file(leftover, "held");
    const testing::ScopedHolderWaitBudget budget(milliseconds(5000));
    const testing::OplockedEntries oplocks(
        {.name = c.held,
         .batch = c.batch,
         .acknowledge_after = c.acknowledged ? std::optional(milliseconds(20)) : std::nullopt});
    expect_sweep(L"root", c.lines, c.counts);
    const auto& holder = testing::oplock_holder;
    EXPECT_EQ(std::tuple(holder.waits, holder.cancelled, holder.unbounded),
              std::tuple(1, c.acknowledged ? 0 : 1, 0))
        << narrow(c.held) << " " << c.batch << c.acknowledged;
  }
}

// With the budget spent, nothing is waited for: a break in progress leaves the leftover held at
// once, and a disposition that waits is given up at once.
TEST_F(LeftoverSweep, SpentBudgetWaitsForNoHolder) {
  for (const bool batch : {true, false}) {
    scratch_.write_file(L"root\\voxtrel-agent.exe.old", "held");
    const testing::ScopedHolderWaitBudget budget(std::chrono::milliseconds::zero());
    const testing::OplockedEntries oplocks(
        {.name = L"voxtrel-agent.exe.old", .batch = batch, .acknowledge_after = {}});
    expect_sweep(L"root",
                 line(kRemoving, L"root\\voxtrel-agent.exe.old") +
                     line(kFailed, L"root\\voxtrel-agent.exe.old"),
                 {0, 1});
    EXPECT_EQ(testing::oplock_holder.waits, batch ? 0 : 1) << batch;
    EXPECT_EQ(scratch_.content(L"root\\voxtrel-agent.exe.old"), "held");
  }
}

// What a followed link or another file system may list. A folder or a link's target held without
// read sharing is a folder that could not be searched, never a leftover; a link whose target is a
// file is an entry; a batch whose first record reaches past its end leaves its folder not
// searched.
TEST_F(LeftoverSweep, LinksAndListingsFromElsewhereAreTakenForWhatTheyAre) {
  const std::wstring held = L"held\\voxtrel-agent.exe.old-link";
  scratch_.write_file(held + L"\\voxtrel-agent.exe.old", "inside");
  const UniqueFile holder(CreateFileW(scratch_.at(held).c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(holder);
  scratch_.write_file(L"plain\\held\\voxtrel-agent.exe.old", "inside");
  const UniqueFile plain_holder(CreateFileW(scratch_.at(L"plain\\held").c_str(), GENERIC_READ, 0,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
  ASSERT_TRUE(plain_holder);
  scratch_.write_file(L"file\\voxtrel-agent.exe.old-link");
  scratch_.write_file(L"past\\a\\voxtrel-agent.exe.old", "unlisted");
  scratch_.write_file(L"past\\a\\trigger");
  scratch_.write_file(L"past\\b\\voxtrel-agent.exe.old");
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.get_information = &testing::get_information_rewriting_listing;
  using enum testing::ListingChange;
  testing::listing_rewrite = {L"voxtrel-agent.exe.old-link", kAsDirectoryLink};
  expect_sweep(L"held", line(kNotSearched, held), {});
  expect_sweep(L"plain", line(kNotSearched, L"plain\\held"), {});
  expect_sweep(L"file", line(kRemoving, L"file\\voxtrel-agent.exe.old-link"), {1, 0});
  testing::listing_rewrite = {L"trigger", kFirstReachesPast};
  expect_sweep(L"past",
               line(kRemoving, L"past\\b\\voxtrel-agent.exe.old") + line(kNotSearched, L"past\\a"),
               {1, 0});
  EXPECT_EQ(scratch_.content(held + L"\\voxtrel-agent.exe.old"), "inside");
  EXPECT_FALSE(scratch_.exists(L"file\\voxtrel-agent.exe.old-link"));
  EXPECT_EQ(scratch_.content(L"past\\a\\voxtrel-agent.exe.old"), "unlisted");
}

// A leftover swapped for a folder of the same name after it was listed is not deleted: the
// deletion asks for a file.
TEST_F(LeftoverSweep, FolderSwappedInForALeftoverStays) {
  scratch_.write_file(L"top\\voxtrel-agent.exe.old");
  auto search = TreeSearch::open(scratch_.at(L"top"), nullptr);
  ASSERT_TRUE(search.has_value());
  const auto entry = search->next();
  ASSERT_TRUE(entry.has_value());
  ASSERT_TRUE(DeleteFileW(scratch_.at(L"top\\voxtrel-agent.exe.old").c_str()));
  scratch_.make_directory(L"top\\voxtrel-agent.exe.old");
  EXPECT_FALSE(search->remove(*entry).has_value());
  EXPECT_TRUE(scratch_.exists(L"top\\voxtrel-agent.exe.old"));
}

TEST_F(LeftoverSweep, MissingRootOrFileAsRootIsSilent) {
  scratch_.write_file(L"voxtrel-agent.exe.old");
  expect_sweep(L"missing", "", {});
  expect_sweep(L"voxtrel-agent.exe.old", "", {});
  EXPECT_TRUE(scratch_.exists(L"voxtrel-agent.exe.old"));
}

TEST_F(LeftoverSweep, SubdirectoryWithUnpairedSurrogateIsSearchedUnderItsOwnName) {
  const std::wstring odd = L"root\\odd\xD800";
  scratch_.make_directory(odd);
  const auto listed = testing::listing(scratch_.at(L"root"));
  if (listed.size() != 1 || std::wstring_view(listed[0].cFileName) != L"odd\xD800")
    GTEST_SKIP() << "the file system refuses or changes a name with an unpaired surrogate";
  scratch_.write_file(odd + L"\\voxtrel-agent.exe.old");
  scratch_.write_file(odd + L"\\voxtrel-agent.exe.old\xDC00", "not valid Unicode");
  // Shown with U+FFFD, but deleted under the name the platform gave.
  expect_sweep(L"root",
               std::string(kRemoving) + narrow(scratch_.at(L"root")) +
                   "\\odd\xEF\xBF\xBD\\voxtrel-agent.exe.old\n",
               {1, 0});
  EXPECT_FALSE(scratch_.exists(odd + L"\\voxtrel-agent.exe.old"));
  EXPECT_EQ(scratch_.content(odd + L"\\voxtrel-agent.exe.old\xDC00"), "not valid Unicode");
}

class FootprintLeftovers : public testing::ScratchTest {
 protected:
  static constexpr std::string_view kPresent = "leftovers voxtrel-agent.exe.old*: present (";
  // The leftovers part for the scratch folder `root`.
  [[nodiscard]] PartReport check(std::wstring_view root) const {
    const std::string path = narrow(scratch_.at(root));
    const std::string_view roots[] = {path};
    return check_leftovers(roots);
  }
  // The items a "present" line lists; nothing for any other line.
  [[nodiscard]] static std::vector<std::string> listed(std::string line) {
    std::vector<std::string> found;
    if (!line.starts_with(kPresent) || !line.ends_with(")\n")) return found;
    line = line.substr(kPresent.size(), line.size() - kPresent.size() - 2) + "; ";
    for (std::size_t at = 0, end = 0; (end = line.find("; ", at)) != std::string::npos;
         at = end + 2)
      found.push_back(line.substr(at, end - at));
    return found;
  }
};

// A leftover whose path is past the bound is shown by its start and its end, by the footprint
// check and by step 8 alike; a part lists the first leftovers it finds and counts the rest.
TEST_F(FootprintLeftovers, LongPathsShowShortenedAndTheListStopsAtTheBound) {
  std::wstring deep = L"deep";
  for (int level = 0; level < 4; ++level) deep += L"\\" + std::wstring(250, L'd');
  scratch_.write_file(deep + L"\\voxtrel-agent.exe.old");
  const std::wstring full = scratch_.at(deep + L"\\voxtrel-agent.exe.old");
  ASSERT_GT(full.size(), kMaxShownPathUnits);
  const std::string shown =
      narrow(full.substr(0, 510)) + "..." + narrow(full.substr(full.size() - 511));
  EXPECT_EQ(report_line(check(L"deep")), std::string(kPresent) + shown + ")\n");
  const auto [counts, lines] = testing::captured_sweep(scratch_, L"deep");
  EXPECT_EQ(lines, "      Removing: " + shown + "\n");
  EXPECT_EQ(counts.removed, 1u);

  std::set<std::string> planted;
  for (int i = 0; i < 25; ++i) {
    const std::wstring leftover = L"many\\voxtrel-agent.exe.old." + std::to_wstring(i);
    scratch_.write_file(leftover);
    planted.insert(narrow(scratch_.at(leftover)));
  }
  const auto items = listed(report_line(check(L"many")));
  ASSERT_EQ(items.size(), kMaxListedItems + 1);
  EXPECT_EQ(items.back(), "and 5 more");
  const std::set<std::string> shown_items(items.begin(), items.end() - 1);
  EXPECT_EQ(shown_items.size(), kMaxListedItems) << "a leftover listed twice";
  for (const auto& item : shown_items) EXPECT_TRUE(planted.contains(item)) << item;
}

// Whichever allocation fails, the part answers, never with an exception that would end the check,
// and never "absent": "cannot tell" with error 8 (for the root when the search's own step failed),
// or "present" with leftovers that are there when some were found before.
TEST_F(FootprintLeftovers, AFailedAllocationAnywhereIsCannotTellNotTheEndOfTheCheck) {
  for (const auto* file : {L"root\\voxtrel-agent.exe.old", L"root\\a\\voxtrel-agent.exe.old.1",
                           L"root\\a\\b\\voxtrel-agent.exe.old.2"})
    scratch_.write_file(file);
  const std::string whole = report_line(check(L"root"));
  ASSERT_EQ(listed(whole).size(), 3u) << whole;
  const std::string root = narrow(scratch_.at(L"root"));
  const std::string message = "error 8: " + system_message(8) + ")\n";
  const std::string cannot_tell = "leftovers voxtrel-agent.exe.old*: cannot tell (";
  const std::string_view roots[] = {root};
  int out_of_memory_answers = 0;
  for (long nth = 1;; ++nth) {
    PartReport report;
    bool escaped = false;
    testing::fail_allocation_after(nth - 1, testing::LaterAllocations::kSucceed);
    try {
      report = check_leftovers(roots);
    } catch (const std::bad_alloc&) {
      escaped = true;
    }
    const bool failed = testing::allow_allocations();
    const std::string line = report_line(report);
    if (!failed) {
      EXPECT_EQ(line, whole);
      break;
    }
    ASSERT_FALSE(escaped) << "allocation " << nth;
    if (line == cannot_tell + message || line == cannot_tell + root + ": " + message) {
      ++out_of_memory_answers;
      continue;
    }
    const auto all = listed(whole);
    EXPECT_FALSE(listed(line).empty()) << "allocation " << nth << ": " << line;
    for (const auto& item : listed(line))
      EXPECT_NE(std::ranges::find(all, item), all.end()) << "allocation " << nth << ": " << line;
  }
  EXPECT_GT(out_of_memory_answers, 0);
}

// What query_attributes makes of `path`: "file", "directory", "link", or the error code.
std::string kind_of(const std::wstring& path) {
  const auto entry = query_attributes(path);
  if (!entry) return std::to_string(entry.error().code());
  return is_link(*entry) ? "link" : is_directory(*entry) ? "directory" : "file";
}

using FileQueries = testing::ScratchTest;

TEST_F(FileQueries, ClassifiesEntriesAndReportsMissingOnes) {
  // Nested 50-unit folders, longer than the classic 260 units in total.
  std::wstring deep = L"d";
  for (int level = 0; level < 6; ++level) deep += L"\\" + std::wstring(50, L'd');
  scratch_.write_file(deep + L"\\file");
  ASSERT_GT(scratch_.at(deep + L"\\file").size(), std::size_t{MAX_PATH});
  const std::pair<std::wstring, std::string> cases[] = {{deep + L"\\file", "file"},
                                                        {deep, "directory"},
                                                        {L"missing.txt", "2"},
                                                        {L"missing\\below.txt", "3"}};
  for (const auto& [path, kind] : cases)
    EXPECT_EQ(kind_of(scratch_.at(path)), kind) << narrow(path);
  EXPECT_TRUE(path_exists(scratch_.at(deep)));
  EXPECT_FALSE(path_exists(scratch_.at(L"missing.txt")));
  EXPECT_FALSE(path_exists(L""));
  const std::wstring with_nul = scratch_.at(L"d") + std::wstring(1, L'\0') + L"b";
  EXPECT_EQ(query_attributes(with_nul).error(), Error::invalid_input(kNulInPathMessage));
}

// The open every query starts with, refused as Windows can refuse an open of an existing entry;
// a name that does not exist is reported missing whatever else is going on.
DWORD refused_open_error = 0;
bool refuse_only_following_opens = false;

HANDLE WINAPI refusing_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE model) {
  const HANDLE opened = ::CreateFileW(path, access, share, security, disposition, flags, model);
  if (opened == INVALID_HANDLE_VALUE ||
      (refuse_only_following_opens && (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0))
    return opened;
  CloseHandle(opened);
  SetLastError(refused_open_error);
  return INVALID_HANDLE_VALUE;
}

// A file held without sharing (32), or whose security refuses even an attribute open (5), is
// still read from its folder's listing. An entry whose own reparse point cannot be followed
// (1920, an app-execution alias) is read as itself. Other errors stand.
TEST_F(FileQueries, RefusedOpensFallBackWhereWindowsAllows) {
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.create_file = &refusing_open;
  scratch_.write_file(L"file.txt");
  scratch_.make_directory(L"folder");
  const struct {
    DWORD error;
    bool only_following;
    std::string file, folder;
  } cases[] = {
      {ERROR_ACCESS_DENIED, false, "file", "directory"},
      {ERROR_SHARING_VIOLATION, false, "file", "directory"},
      {ERROR_NO_SYSTEM_RESOURCES, false, "1450", "1450"},
      {ERROR_NO_SYSTEM_RESOURCES, true, "1450", "1450"},
      {ERROR_CANT_ACCESS_FILE, true, "file", "directory"},
  };
  for (const auto& c : cases) {
    refused_open_error = c.error;
    refuse_only_following_opens = c.only_following;
    EXPECT_EQ(kind_of(scratch_.at(L"file.txt")), c.file) << c.error << " " << c.only_following;
    EXPECT_EQ(kind_of(scratch_.at(L"folder")), c.folder) << c.error << " " << c.only_following;
    EXPECT_EQ(kind_of(scratch_.at(L"missing")), "2") << c.error << " " << c.only_following;
  }
}

// NtOpenFile as Windows answers it while the entries with these names are deleted but held open
// elsewhere: STATUS_DELETE_PENDING, whatever the access. A name is an NT name ("\??\C:\...") for
// an open by path, a file name for one relative to a folder's handle. Every open by an absolute
// name is recorded with its access; the others go to the platform.
std::vector<std::wstring> pending_names;
std::vector<std::pair<std::wstring, ACCESS_MASK>> opened_names;

NTSTATUS NTAPI open_pending_deletion(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                     PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
  constexpr auto kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);
  const std::wstring name(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t));
  if (object->RootDirectory == nullptr) opened_names.emplace_back(name, access);
  if (std::ranges::find(pending_names, name) != pending_names.end()) return kStatusDeletePending;
  return ::NtOpenFile(handle, access, object, io, share, options);
}

// The question goes to NtOpenFile, in the NT form of the full path, for attributes only (which
// no share mode and no oplock stands in the way of); STATUS_DELETE_PENDING is the only yes, an
// entry that opens is a no, and what does not open is an error.
TEST_F(FileQueries, PendingDeletionIsAskedOfTheNtNameForAttributesOnly) {
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.open_file = &open_pending_deletion;
  scratch_.write_file(L"pending.txt");
  scratch_.write_file(L"kept.txt");
  const std::wstring nt = std::wstring(kNtObjectPrefix) + scratch_.at(L"pending.txt");
  pending_names = {nt, L"\\??\\UNC\\server\\share\\held"};
  opened_names.clear();
  const std::pair<std::wstring, std::wstring> forms[] = {
      {scratch_.at(L"pending.txt"), nt},
      {std::wstring(kVerbatimPrefix) + scratch_.at(L"pending.txt"), nt},
      {scratch_.at(L"sub\\..\\pending.txt"), nt},
      {L"\\\\server\\share\\held", L"\\??\\UNC\\server\\share\\held"},
  };
  for (const auto& [path, name] : forms) {
    EXPECT_EQ(deletion_pending(path), true) << narrow(path);
    ASSERT_FALSE(opened_names.empty());
    EXPECT_EQ(opened_names.back(),
              std::pair(name, ACCESS_MASK{FILE_READ_ATTRIBUTES | SYNCHRONIZE}));
  }
  const testing::HandleLeakCheck handles;
  EXPECT_EQ(deletion_pending(scratch_.at(L"kept.txt")), false);
  EXPECT_EQ(deletion_pending(scratch_.at(L"missing.txt")), std::unexpected(Error::os(2)));
  EXPECT_EQ(deletion_pending(scratch_.at(L"kept.txt") + L'\0'),
            std::unexpected(Error::invalid_input(kNulInPathMessage)));
  EXPECT_EQ(deletion_pending(L"\\\\?\\C:\\" + std::wstring(40000, L'x')),
            std::unexpected(Error::os(ERROR_FILENAME_EXCED_RANGE)));
  EXPECT_FALSE(handles.leaked());
}

// Deleted through one handle while another stays open, an entry is pending deletion until the
// last one closes; then it is gone.
TEST_F(FileQueries, AFileDeletedWhileHeldIsPendingDeletionUntilReleased) {
  scratch_.write_file(L"held.txt");
  const std::wstring path = scratch_.at(L"held.txt");
  UniqueFile holder(
      CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  {
    // The classic disposition: DeleteFileW takes the name away at once on NTFS (Windows 10 1809).
    const UniqueFile deleting(
        CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    FILE_DISPOSITION_INFO classic{TRUE};
    ASSERT_TRUE(
        SetFileInformationByHandle(deleting.get(), FileDispositionInfo, &classic, sizeof(classic)));
  }
  const auto pending = deletion_pending(path);
  if (pending == false) {
    GTEST_SKIP() << "this platform opens an entry pending deletion as any other (Wine 8, 10)";
  }
  EXPECT_EQ(pending, true);
  holder.reset();
  EXPECT_EQ(deletion_pending(path), std::unexpected(Error::os(ERROR_FILE_NOT_FOUND)));
}

// A leftover deleted while another program holds it stays listed: the check asks it through the
// handle of the folder that listed it, never again by its path, and it waits for the restart
// unless a leftover that is not pending is there too.
TEST_F(FootprintLeftovers, ALeftoverPendingDeletionIsAskedThroughItsFolder) {
  const testing::ScopedFileSystemCalls restore;
  file_system_calls.open_file = &open_pending_deletion;
  scratch_.write_file(L"root\\sub\\voxtrel-agent.exe.old.held");
  pending_names = {L"voxtrel-agent.exe.old.held"};
  opened_names.clear();
  const std::string held = narrow(scratch_.at(L"root\\sub\\voxtrel-agent.exe.old.held"));
  EXPECT_EQ(report_line(check(L"root")),
            "leftovers voxtrel-agent.exe.old*: pending restart (deletion pending: " + held + ")\n");
  scratch_.write_file(L"root\\voxtrel-agent.exe.old");
  EXPECT_EQ(report_line(check(L"root")),
            std::string(kPresent) + narrow(scratch_.at(L"root\\voxtrel-agent.exe.old")) + ")\n");
  for (const auto& [name, access] : opened_names)
    EXPECT_FALSE(name.ends_with(L"voxtrel-agent.exe.old.held")) << narrow(name);
}

// Present before cannot tell before pending restart before absent, whatever the order.
TEST(FootprintAnswer, ExitCodeIsTheFirstOfPresentCannotTellPendingRestart) {
  using enum PartState;
  const std::pair<std::vector<PartState>, int> cases[] = {
      {{}, 0},
      {{kAbsent, kAbsent}, 0},
      {{kAbsent, kPendingRestart}, 3010},
      {{kPendingRestart, kPendingRestart}, 3010},
      {{kPendingRestart, kCannotTell}, 2},
      {{kCannotTell, kPendingRestart, kAbsent}, 2},
      {{kPendingRestart, kPresent}, 1},
      {{kPresent, kCannotTell, kPendingRestart}, 1},
      {{kCannotTell, kAbsent, kPresent}, 1},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::vector<PartReport> reports;
    for (const PartState state : cases[i].first) reports.push_back({"part", state, {}});
    EXPECT_EQ(footprint_exit_code(reports), cases[i].second) << "case " << i;
  }
}

TEST(FootprintAnswer, EachLineNamesThePartItsStateAndWhy) {
  using enum PartState;
  const std::pair<PartReport, std::string> cases[] = {
      {{"folder X", kAbsent, {}}, "folder X: absent\n"},
      {{"folder X", kPresent, {}}, "folder X: present\n"},
      {{"leftovers", kPresent, "a; b"}, "leftovers: present (a; b)\n"},
      {{"key K", kCannotTell, "error 5: denied"}, "key K: cannot tell (error 5: denied)\n"},
      {{"service S", kPendingRestart, "marked for deletion"},
       "service S: pending restart (marked for deletion)\n"},
  };
  for (const auto& [report, line] : cases) EXPECT_EQ(report_line(report), line);
}

}  // namespace
}  // namespace voxtrel
