#include "bench/results.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>

namespace voxtrel::bench {
namespace {

constexpr std::string_view kNoteTag = "note";
constexpr char kField = '\t';

constexpr std::string_view kOutcomeNames[] = {"done", "stopped", "incomplete"};
constexpr std::string_view kPendingTag = "pending";
constexpr std::string_view kPendingRunNames[] = {"base", "held"};
constexpr std::size_t kPendingFields = 8;
constexpr std::string_view kPendingTableHeader =
    "| held files P | folders D | base s | held s | extra s | held run's result |\n"
    "|--:|--:|--:|--:|--:|---|\n";
constexpr std::string_view kPendingTableLegend =
    "- base: the same tree with nobody holding its files; held: its P files open in another "
    "process (full sharing) for the whole removal; extra: the median over the rounds of each "
    "round's held time less its base time.\n";

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = line.find(kField, start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string_view::npos) return fields;
    start = end + 1;
  }
}

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string printed(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), pattern, value);
  return text;
}

std::string group_title(Group group) {
  return group == Group::kSweep ? "Sweep" : "Tree removal";
}

// What one variant's rounds at one size add up to.
struct Summary {
  std::size_t rounds = 0;
  std::vector<double> done_seconds;
  const RunRecord* stopped = nullptr;
  const RunRecord* incomplete = nullptr;
};

using SummaryKey = std::pair<std::uint32_t, std::string>;

std::map<SummaryKey, Summary> summarise(std::span<const RunRecord> records) {
  std::map<SummaryKey, Summary> summaries;
  for (const RunRecord& record : records) {
    Summary& summary = summaries[{record.entries, record.variant}];
    ++summary.rounds;
    if (record.outcome == Outcome::kDone) summary.done_seconds.push_back(record.seconds);
    if (record.outcome == Outcome::kStopped && summary.stopped == nullptr)
      summary.stopped = &record;
    if (record.outcome == Outcome::kIncomplete && summary.incomplete == nullptr) {
      summary.incomplete = &record;
    }
  }
  return summaries;
}

// The seconds a row shows, and whether they are only a lower bound (stopped at the limit).
struct Timing {
  double seconds = 0;
  bool lower_bound = false;
};

std::optional<Timing> timing_of(const Summary& summary) {
  if (summary.incomplete != nullptr) return std::nullopt;
  if (summary.stopped != nullptr) return Timing{summary.stopped->seconds, true};
  if (summary.done_seconds.empty()) return std::nullopt;
  return Timing{median(summary.done_seconds), false};
}

std::string table_row(const VariantInfo& variant, std::uint32_t entries, const Summary& summary,
                      std::optional<Timing> reference) {
  std::string row = "| " + std::string(variant.title) + " | " + std::to_string(entries) + " | ";
  const auto timing = timing_of(summary);
  if (!timing) {
    const std::string why = summary.incomplete != nullptr ? summary.incomplete->detail : "no run";
    return row + "incomplete: " + why + " | - | - |\n";
  }
  const std::string bound = timing->lower_bound ? "> " : "";
  const std::string inverse_bound = timing->lower_bound ? "< " : "";
  row += bound + printed("%.3f", timing->seconds) + (timing->lower_bound ? " (stopped)" : "");
  row += " | " + inverse_bound + printed("%.0f", entries / timing->seconds) + " | ";
  if (reference && !reference->lower_bound) {
    row += bound + printed("%.2f", timing->seconds / reference->seconds);
  } else {
    row += "-";
  }
  return row + " |\n";
}

// A field without tabs or line breaks.
std::string flattened(std::string_view text) {
  std::string flat(text);
  std::ranges::replace(flat, kField, ' ');
  std::ranges::replace(flat, '\n', ' ');
  return flat;
}

// One case's runs, split by kind; the first failed check, if any.
struct PendingSummary {
  std::map<std::uint32_t, double> base;  // seconds by round
  std::map<std::uint32_t, double> held;
  std::vector<std::string> held_results;  // distinct, in the order met
  const PendingRecord* incomplete = nullptr;
};

PendingSummary summarise_pending(std::span<const PendingRecord> records, PendingCase tree) {
  PendingSummary summary;
  for (const PendingRecord& record : records) {
    if (record.tree != tree) continue;
    if (record.outcome != Outcome::kDone) {
      if (summary.incomplete == nullptr) summary.incomplete = &record;
      continue;
    }
    (record.held ? summary.held : summary.base)[record.round] = record.seconds;
    if (record.held &&
        std::ranges::find(summary.held_results, record.result) == summary.held_results.end()) {
      summary.held_results.push_back(record.result);
    }
  }
  return summary;
}

std::string median_text(const std::map<std::uint32_t, double>& seconds) {
  if (seconds.empty()) return "-";
  std::vector<double> values;
  for (const auto& [round, value] : seconds) values.push_back(value);
  return printed("%.3f", median(std::move(values)));
}

// The median of the rounds' held time less the same round's base time.
std::string extra_text(const PendingSummary& summary) {
  std::vector<double> extra;
  for (const auto& [round, held] : summary.held) {
    const auto base = summary.base.find(round);
    if (base != summary.base.end()) extra.push_back(held - base->second);
  }
  return extra.empty() ? "-" : printed("%.3f", median(std::move(extra)));
}

std::string pending_row(PendingCase tree, const PendingSummary& summary) {
  std::string row =
      "| " + std::to_string(tree.files) + " | " + std::to_string(tree.folders) + " | ";
  if (summary.incomplete != nullptr) {
    return row + "incomplete (" + (summary.incomplete->held ? "held" : "base") +
           " run): " + summary.incomplete->result + " | - | - | - |\n";
  }
  std::string results;
  for (const std::string& result : summary.held_results) {
    results += (results.empty() ? "" : "; ") + result;
  }
  return row + median_text(summary.base) + " | " + median_text(summary.held) + " | " +
         extra_text(summary) + " | " + (results.empty() ? "-" : results) + " |\n";
}

}  // namespace

const VariantInfo* find_variant(std::string_view id) {
  for (const VariantInfo& variant : kVariants) {
    if (variant.id == id) return &variant;
  }
  return nullptr;
}

std::string format_record(const RunRecord& record) {
  const std::string detail = flattened(record.detail);
  return std::to_string(record.entries) + kField + record.variant + kField +
         std::to_string(record.round) + kField +
         std::string(kOutcomeNames[static_cast<int>(record.outcome)]) + kField +
         printed("%.6f", record.seconds) + kField + detail;
}

std::optional<RunRecord> parse_record(std::string_view line) {
  const auto fields = split_fields(line);
  if (fields.size() != 6) return std::nullopt;
  const auto entries = parse_number<std::uint32_t>(fields[0]);
  const auto round = parse_number<std::uint32_t>(fields[2]);
  const auto outcome = std::ranges::find(kOutcomeNames, fields[3]);
  const auto seconds = parse_number<double>(fields[4]);
  if (!entries || !round || outcome == std::end(kOutcomeNames) || !seconds) return std::nullopt;
  if (find_variant(fields[1]) == nullptr) return std::nullopt;
  return RunRecord{*entries, std::string(fields[1]),
                   *round,   static_cast<Outcome>(outcome - std::begin(kOutcomeNames)),
                   *seconds, std::string(fields[5])};
}

std::string format_note(std::string_view note) {
  return std::string(kNoteTag) + kField + flattened(note);
}

std::optional<std::string> parse_note(std::string_view line) {
  const auto fields = split_fields(line);
  if (fields.size() != 2 || fields[0] != kNoteTag) return std::nullopt;
  return std::string(fields[1]);
}

double median(std::vector<double> values) {
  std::ranges::sort(values);
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string render_tables(std::span<const RunRecord> records, std::span<const std::string> notes) {
  const auto summaries = summarise(records);
  std::vector<std::uint32_t> sizes;
  for (const RunRecord& record : records) {
    if (std::ranges::find(sizes, record.entries) == sizes.end()) sizes.push_back(record.entries);
  }
  std::string text;
  for (const Group group : {Group::kSweep, Group::kRemoval}) {
    for (const std::uint32_t entries : sizes) {
      std::optional<Timing> reference;
      std::size_t most_rounds = 0;
      for (const VariantInfo& variant : kVariants) {
        const auto found = summaries.find({entries, std::string(variant.id)});
        if (variant.group != group || found == summaries.end()) continue;
        most_rounds = std::max(most_rounds, found->second.rounds);
        if (variant.reference) reference = timing_of(found->second);
      }
      if (most_rounds == 0) continue;
      text += '\n';
      text += group_title(group);
      text += ", " + std::to_string(entries) + " entries, median of " +
              std::to_string(most_rounds) + " rounds:\n\n";
      text += "| variant | entries | median s | entries/s | ratio |\n|---|--:|--:|--:|--:|\n";
      for (const VariantInfo& variant : kVariants) {
        const auto found = summaries.find({entries, std::string(variant.id)});
        if (variant.group != group || found == summaries.end()) continue;
        text += table_row(variant, entries, found->second, reference);
      }
    }
  }
  std::vector<std::string> shown;
  for (const std::string& note : notes) {
    if (std::ranges::find(shown, note) != shown.end()) continue;
    if (shown.empty()) text += '\n';
    text += "- " + note + "\n";
    shown.push_back(note);
  }
  return text;
}

std::optional<std::uint32_t> parse_decimal_count(std::wstring_view text) {
  constexpr std::size_t kMaxDigits = 9;
  if (text.empty() || text.size() > kMaxDigits) return std::nullopt;
  std::uint32_t value = 0;
  for (const wchar_t unit : text) {
    if (unit < L'0' || unit > L'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(unit - L'0');
  }
  return value;
}

std::optional<PendingCase> parse_pending_case(std::wstring_view text) {
  const std::size_t colon = text.find(L':');
  if (colon == std::wstring_view::npos) return std::nullopt;
  const auto files = parse_decimal_count(text.substr(0, colon));
  const auto folders = parse_decimal_count(text.substr(colon + 1));
  if (!files || !folders) return std::nullopt;
  return PendingCase{*files, *folders};
}

std::string format_pending_record(const PendingRecord& record) {
  return std::string(kPendingTag) + kField + std::to_string(record.tree.files) + kField +
         std::to_string(record.tree.folders) + kField + std::to_string(record.round) + kField +
         std::string(kPendingRunNames[record.held ? 1 : 0]) + kField +
         std::string(kOutcomeNames[static_cast<int>(record.outcome)]) + kField +
         printed("%.6f", record.seconds) + kField + flattened(record.result);
}

std::optional<PendingRecord> parse_pending_record(std::string_view line) {
  const auto fields = split_fields(line);
  if (fields.size() != kPendingFields || fields[0] != kPendingTag) return std::nullopt;
  const auto files = parse_number<std::uint32_t>(fields[1]);
  const auto folders = parse_number<std::uint32_t>(fields[2]);
  const auto round = parse_number<std::uint32_t>(fields[3]);
  const auto run = std::ranges::find(kPendingRunNames, fields[4]);
  const auto outcome = std::ranges::find(kOutcomeNames, fields[5]);
  const auto seconds = parse_number<double>(fields[6]);
  if (!files || !folders || !round || run == std::end(kPendingRunNames) ||
      outcome == std::end(kOutcomeNames) || !seconds) {
    return std::nullopt;
  }
  return PendingRecord{{*files, *folders},
                       *round,
                       run != std::begin(kPendingRunNames),
                       static_cast<Outcome>(outcome - std::begin(kOutcomeNames)),
                       *seconds,
                       std::string(fields[7])};
}

std::string render_pending_table(std::span<const PendingRecord> records) {
  if (records.empty()) return {};
  std::vector<PendingCase> cases;
  std::uint32_t rounds = 0;
  for (const PendingRecord& record : records) {
    if (std::ranges::find(cases, record.tree) == cases.end()) cases.push_back(record.tree);
    rounds = std::max(rounds, record.round);
  }
  std::string text =
      "\nTree removal with files pending deletion: P files and D empty folders in "
      "one folder, median of " +
      std::to_string(rounds) + " rounds:\n\n";
  text += kPendingTableHeader;
  for (const PendingCase tree : cases) text += pending_row(tree, summarise_pending(records, tree));
  return text + "\n" + std::string(kPendingTableLegend);
}

}  // namespace voxtrel::bench
