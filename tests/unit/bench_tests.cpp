// The benchmark's own logic: the planned tree has the shape bench/README.md claims, and the tables
// say what the rounds measured. (scripts/bench.sh itself runs once at a tiny size as bench_smoke.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <ranges>
#include <set>
#include <tuple>

#include "agent/footprint.h"
#include "bench/results.h"
#include "bench/tree_plan.h"
#include "driver/leftover_sweep.h"
#include "system/text.h"

namespace voxtrel::bench {
namespace {

std::wstring folded(std::wstring text) {
  std::ranges::transform(text, text.begin(), [](wchar_t unit) { return towlower(unit); });
  return text;
}

TEST(TreePlan, HasTheShapeOfAProgramFilesTree) {
  constexpr std::uint32_t kEntries = 20000;
  const TreePlan plan = plan_tree(kEntries, 7);
  ASSERT_EQ(plan.entries.size(), kEntries);
  std::set<std::wstring> folders{L""};
  std::set<std::wstring> seen;
  std::map<std::wstring, std::size_t> children;
  for (const PlannedEntry& entry : plan.entries) {
    SCOPED_TRACE(testing::Message() << "entry " << testing::PrintToString(entry.relative));
    const std::wstring parent = std::filesystem::path(entry.relative).parent_path().wstring();
    // Created in order, every entry's folder is already there, and no two entries clash even
    // where case is ignored.
    EXPECT_TRUE(folders.contains(parent));
    EXPECT_TRUE(seen.insert(folded(entry.relative)).second);
    EXPECT_LE(entry.relative.size(), kMaxRelativeLength);
    EXPECT_EQ(entry.depth, std::ranges::count(entry.relative, L'\\') + 1u);
    EXPECT_EQ(entry.leftover, is_leftover_name(entry_name(entry)));
    EXPECT_FALSE(entry.relative.ends_with(L' ') || entry.relative.ends_with(L'.'));
    ++children[parent];
    if (entry.kind == EntryKind::kFolder) folders.insert(entry.relative);
  }
  const std::size_t folder_count = folders.size() - 1;  // the root is no entry
  EXPECT_EQ(folder_count, kEntries / kEntriesPerFolder);
  EXPECT_EQ(std::ranges::max(plan.entries, {}, &PlannedEntry::depth).depth, kMaxDepth);
  EXPECT_EQ(plan.leftovers().size(), 6u);
  EXPECT_EQ(plan.read_only_files().size(), (kEntries - folder_count - 9) / kFilesPerReadOnly);
  // Some folder is far fuller than one 1024-byte directory batch can carry.
  EXPECT_GT(std::ranges::max(children | std::views::values), 500u);
}

TEST(TreePlan, IsTheSameForTheSameSeedAndSmallestTreesHoldEveryKind) {
  const TreePlan first = plan_tree(kMinEntries, 1);
  const TreePlan again = plan_tree(kMinEntries, 1);
  ASSERT_EQ(first.entries.size(), kMinEntries);
  const auto key = [](const PlannedEntry& entry) { return std::pair(entry.relative, entry.bytes); };
  EXPECT_TRUE(std::ranges::equal(first.entries, again.entries, {}, key, key));
  EXPECT_EQ(first.leftovers().size(), 6u);
  EXPECT_EQ(first.read_only_files().size(), kMinReadOnlyFiles);
  EXPECT_EQ(plan_tree(1, 1).entries.size(), kMinEntries);
}

TEST(BenchResults, RecordsSurviveTheResultsFile) {
  const RunRecord record{100000, "cmd-rmdir", 2, Outcome::kIncomplete, 1.5, "tree\tstill\nthere"};
  const auto parsed = parse_record(format_record(record));
  ASSERT_TRUE(parsed.has_value());
  const auto fields = [](const RunRecord& r) {
    return std::tuple(r.entries, r.variant, r.round, r.outcome, r.seconds, r.detail);
  };
  EXPECT_EQ(fields(*parsed),
            fields({100000, "cmd-rmdir", 2, Outcome::kIncomplete, 1.5, "tree still there"}));
  EXPECT_FALSE(parse_record("1\tno-such-variant\t1\tdone\t1.0\t").has_value());
  EXPECT_FALSE(parse_record(format_note("a note")).has_value());
  EXPECT_EQ(parse_note(format_note("a\tnote")), "a note");
  EXPECT_FALSE(parse_note("other\tnote").has_value());
}

TEST(BenchResults, TableShowsMediansRatiosLimitsAndFailures) {
  EXPECT_DOUBLE_EQ(median({4.0, 1.0, 3.0, 2.0}), 2.5);  // the table's medians are of odd counts
  const std::vector<RunRecord> records = {
      {1000, "naive", 1, Outcome::kDone, 2.0, ""},
      {1000, "naive", 2, Outcome::kDone, 1.0, ""},
      {1000, "naive", 3, Outcome::kDone, 9.0, ""},
      {1000, "remove-all", 1, Outcome::kDone, 3.0, ""},
      {1000, "remove-all", 2, Outcome::kDone, 3.0, ""},
      {1000, "remove-all", 3, Outcome::kDone, 3.0, ""},
      {1000, "cmd-rmdir", 1, Outcome::kStopped, 60.0, ""},
      {1000, "remove-tree", 1, Outcome::kDone, 2.0, ""},
      {1000, "remove-tree", 2, Outcome::kIncomplete, 2.0, "error 5"},
  };
  const std::vector<std::string> notes = {"same note", "same note"};
  const std::string table = render_tables(records, notes);
  for (const std::string_view line :
       {"Tree removal, 1000 entries, median of 3 rounds:",
        "| naive FindFirstFileW walker (reference) | 1000 | 2.000 | 500 | 1.00 |",
        "| std::filesystem::remove_all | 1000 | 3.000 | 333 | 1.50 |",
        "| cmd /c rmdir /s /q | 1000 | > 60.000 (stopped) | < 17 | > 30.00 |",
        "| remove_tree | 1000 | incomplete: error 5 | - | - |"}) {
    EXPECT_NE(table.find(line), std::string::npos) << line << "\n" << table;
  }
  EXPECT_EQ(table.find("Sweep"), std::string::npos);
  EXPECT_EQ(table.find("same note"), table.rfind("same note"));
}

TEST(BenchResults, PendingCasesAreTwoCounts) {
  const std::vector<std::pair<std::wstring, std::optional<PendingCase>>> cases = {
      {L"400:0", PendingCase{400, 0}},
      {L"0:400", PendingCase{0, 400}},
      {L"800:400", PendingCase{800, 400}},
      {L"0:0", PendingCase{0, 0}},
      {L"999999999:1", PendingCase{999999999, 1}},
      {L"400", std::nullopt},
      {L":400", std::nullopt},
      {L"400:", std::nullopt},
      {L"4:x", std::nullopt},
      {L"-1:2", std::nullopt},
      {L"1:2:3", std::nullopt},
      {L"4: 2", std::nullopt},
      {L"1000000000:1", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_pending_case(text), expected) << to_utf8_lossy(text);
  }
}

TEST(BenchResults, PendingRecordsSurviveTheResultsFile) {
  const PendingRecord record{{800, 400}, 3, true, Outcome::kIncomplete, 17.25, "2\tentries\nleft"};
  const std::string line = format_pending_record(record);
  const auto parsed = parse_pending_record(line);
  ASSERT_TRUE(parsed.has_value());
  const auto fields = [](const PendingRecord& r) {
    return std::tuple(r.tree, r.round, r.held, r.outcome, r.seconds, r.result);
  };
  EXPECT_EQ(fields(*parsed),
            fields({{800, 400}, 3, true, Outcome::kIncomplete, 17.25, "2 entries left"}));
  const auto base = parse_pending_record(
      format_pending_record({{1, 0}, 1, false, Outcome::kDone, 0.5, "success"}));
  ASSERT_TRUE(base.has_value());
  EXPECT_EQ(fields(*base), fields({{1, 0}, 1, false, Outcome::kDone, 0.5, "success"}));
  // The other kinds of line are not taken for one another.
  EXPECT_FALSE(parse_record(line).has_value());
  EXPECT_FALSE(parse_note(line).has_value());
  EXPECT_FALSE(parse_pending_record(format_note("a note")).has_value());
  EXPECT_FALSE(
      parse_pending_record(format_record({1000, "naive", 1, Outcome::kDone, 2.0, ""})).has_value());
}

TEST(BenchResults, PendingTableShowsEachRoundsExtraTimeAndFailures) {
  EXPECT_EQ(render_pending_table({}), "");
  const std::vector<PendingRecord> records = {
      {{400, 400}, 1, false, Outcome::kDone, 1.0, "success"},
      {{400, 400}, 1, true, Outcome::kDone, 9.0, "error 145"},
      {{0, 400}, 1, false, Outcome::kDone, 0.5, "success"},
      {{0, 400}, 1, true, Outcome::kDone, 0.5, "success"},
      {{400, 400}, 2, true, Outcome::kDone, 9.5, "error 145"},
      {{400, 400}, 2, false, Outcome::kDone, 1.2, "success"},
      {{0, 400}, 2, true, Outcome::kIncomplete, 0.5, "3 entries left"},
      {{400, 400}, 3, false, Outcome::kDone, 5.0, "success"},  // a round slowed by the machine
      {{400, 400}, 3, true, Outcome::kDone, 10.0, "success"},
  };
  const std::string table = render_pending_table(records);
  // Extra: the median of 8.0, 8.3 and 5.0, not the difference of the medians (8.3).
  for (const std::string_view line :
       {"P files and D empty folders in one folder, median of 3 rounds:",
        "| 400 | 400 | 1.200 | 9.500 | 8.000 | error 145; success |",
        "| 0 | 400 | incomplete (held run): 3 entries left | - | - | - |"}) {
    EXPECT_NE(table.find(line), std::string::npos) << line << "\n" << table;
  }
  EXPECT_LT(table.find("| 400 | 400 |"), table.find("| 0 | 400 |"));  // in the order first met
}

}  // namespace
}  // namespace voxtrel::bench
