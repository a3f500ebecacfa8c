// The footprint check's answers: the leftovers part (long paths shortened, the list bounded, an
// allocation failure anywhere answered, a leftover pending deletion), each part's line and the
// exit code they make together.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "footprint/footprint_check.h"
#include "system/file_system_calls.h"
#include "tests/support/child_process.h"
#include "tests/support/failing_allocations.h"
#include "tests/support/file_system_fakes.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

using testing::narrow;
// The NtOpenFile fake that answers "delete pending" (tests/support/file_system_fakes.h).
using testing::open_pending_deletion;
using testing::opened_names;
using testing::pending_names;

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
