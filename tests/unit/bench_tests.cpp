// The benchmark's own logic: the planned tree has the shape bench/README.md claims, and the tables
// say what the rounds measured. (scripts/bench.sh itself runs once at a tiny size as bench_smoke.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <ranges>
#include <set>
#include <tuple>

#include "bench/results.h"
#include "bench/tree_plan.h"
#include "driver/leftover_sweep.h"

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

}  // namespace
}  // namespace voxtrel::bench
