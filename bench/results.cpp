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

}  // namespace

const VariantInfo* find_variant(std::string_view id) {
  for (const VariantInfo& variant : kVariants) {
    if (variant.id == id) return &variant;
  }
  return nullptr;
}

std::string format_record(const RunRecord& record) {
  std::string detail = record.detail;
  std::ranges::replace(detail, kField, ' ');
  std::ranges::replace(detail, '\n', ' ');
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
  std::string text(note);
  std::ranges::replace(text, kField, ' ');
  std::ranges::replace(text, '\n', ' ');
  return std::string(kNoteTag) + kField + text;
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

}  // namespace voxtrel::bench
