// The benchmark's record of each timed run, one line per run in a results file that every
// round appends to, and the table made from it. Pure text work: nothing here touches the system.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace voxtrel::bench {

enum class Group : std::uint8_t { kSweep, kRemoval };

struct VariantInfo {
  std::string_view id;     // as written in the results file
  std::string_view title;  // as shown in the table
  Group group;
  bool reference;  // the row every ratio of its group is taken against
};

// Every variant, in the order of the table.
inline constexpr VariantInfo kVariants[] = {
    {"bare-walk", "bare FindFirstFileExW walk (reference)", Group::kSweep, true},
    {"sweep", "sweep_leftovers", Group::kSweep, false},
    {"sweep-progress", "sweep_leftovers + title progress", Group::kSweep, false},
    {"cmd-dir", "cmd /c dir /s /b", Group::kSweep, false},
    {"one-open", "one open per entry", Group::kSweep, false},
    {"naive", "naive FindFirstFileW walker (reference)", Group::kRemoval, true},
    {"remove-tree", "remove_tree", Group::kRemoval, false},
    {"remove-tree-progress", "remove_tree + title progress", Group::kRemoval, false},
    {"remove-all", "std::filesystem::remove_all", Group::kRemoval, false},
    {"cmd-rmdir", "cmd /c rmdir /s /q", Group::kRemoval, false},
};

[[nodiscard]] const VariantInfo* find_variant(std::string_view id);

enum class Outcome : std::uint8_t {
  kDone,        // finished and did the whole job
  kStopped,     // still running at the time limit, stopped
  kIncomplete,  // finished without doing the whole job (detail says what was missing)
};

struct RunRecord {
  std::uint32_t entries = 0;
  std::string variant;  // a VariantInfo id
  std::uint32_t round = 0;
  Outcome outcome = Outcome::kDone;
  double seconds = 0;
  std::string detail;  // what was missing, for kIncomplete
};

// One tab-separated line, without its line break; and back. Lines starting "note\t" carry a
// note for the table instead (see parse_note).
[[nodiscard]] std::string format_record(const RunRecord& record);
[[nodiscard]] std::optional<RunRecord> parse_record(std::string_view line);
[[nodiscard]] std::string format_note(std::string_view note);
[[nodiscard]] std::optional<std::string> parse_note(std::string_view line);

// Median of a non-empty set: the middle value, or the mean of the two middle values.
[[nodiscard]] double median(std::vector<double> values);

// One Markdown table per tree size and group, rows in kVariants order: variant, entries, median
// seconds, entries per second, ratio to the group's reference. A variant stopped at the limit
// in any round shows "> limit"; one that failed its check in any round shows why instead of a
// time. Distinct notes follow the tables.
[[nodiscard]] std::string render_tables(std::span<const RunRecord> records,
                                        std::span<const std::string> notes);

// A tree of the pending-deletion benchmark: one folder holding `files` files, which another
// process keeps open (with full sharing) in the held run, and `folders` empty folders beside them.
struct PendingCase {
  std::uint32_t files = 0;
  std::uint32_t folders = 0;

  constexpr bool operator==(const PendingCase&) const noexcept = default;
};

// A count of up to nine decimal digits, 0 included; nothing for anything else.
[[nodiscard]] std::optional<std::uint32_t> parse_decimal_count(std::wstring_view text);

// "P:D", two such counts.
[[nodiscard]] std::optional<PendingCase> parse_pending_case(std::wstring_view text);

// One timed removal of a case's tree: the base run (nobody holds the files) or the held run.
struct PendingRecord {
  PendingCase tree;
  std::uint32_t round = 0;
  bool held = false;
  Outcome outcome = Outcome::kDone;  // kDone, or kIncomplete when the run's check failed
  double seconds = 0;
  // kDone: the removal's result ("success", "error 145"); kIncomplete: what went wrong.
  std::string result;
};

// One tab-separated line starting "pending\t", without its line break; and back.
[[nodiscard]] std::string format_pending_record(const PendingRecord& record);
[[nodiscard]] std::optional<PendingRecord> parse_pending_record(std::string_view line);

// One Markdown table, a row per case in the order first met: P, D, the median seconds of the
// base runs and of the held runs, the extra time (the median over the rounds of each round's held
// time less its base time) and the held runs' distinct results. A case with a failed check in any
// run shows why instead of times. Empty without records.
[[nodiscard]] std::string render_pending_table(std::span<const PendingRecord> records);

}  // namespace voxtrel::bench
