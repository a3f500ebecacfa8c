// The benchmark program. scripts/bench.sh drives it under Wine; it can also be run by hand:
//
//   voxtrel-bench generate TOP ENTRIES
//       builds the planned tree of ENTRIES entries at TOP (the master the copies are made from)
//   voxtrel-bench round ENTRIES ROUND COPIES RESULTS LIMIT_SECONDS
//       times every variant once on the fresh copies in COPIES and appends to RESULTS
//   voxtrel-bench report RESULTS
//       prints the tables; exit code 1 when a variant did not do the whole job
//   voxtrel-bench depth LEVELS...
//       times the tree removal of an in-memory chain LEVELS directories deep, through the
//       file-system call table, and prints its cost per entry
//   voxtrel-bench pending ROUND TREES RESULTS P:D...
//       for each case, times the removal of a folder of P files and D empty folders twice, in
//       TREES: with nobody holding the files, and with another process holding them; appends to
//       RESULTS
//   voxtrel-bench hold TOP FILES
//       (the holder, started by pending) holds the first FILES files of the case's tree at TOP
//       until its standard input ends
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/deep_chain.h"
#include "bench/pending_removal.h"
#include "bench/results.h"
#include "bench/round.h"
#include "bench/tree_builder.h"
#include "system/text.h"

namespace voxtrel::bench {
namespace {

// Every copy of a size is built from the same plan.
constexpr std::uint64_t kTreeSeed = 0x766F7874726531ULL;
constexpr int kUsageExit = 2;

int usage() {
  std::fputs(
      "usage: voxtrel-bench generate TOP ENTRIES\n"
      "       voxtrel-bench round ENTRIES ROUND COPIES RESULTS LIMIT_SECONDS\n"
      "       voxtrel-bench report RESULTS\n"
      "       voxtrel-bench depth LEVELS...\n"
      "       voxtrel-bench pending ROUND TREES RESULTS P:D...\n"
      "       voxtrel-bench hold TOP FILES\n",
      stderr);
  return kUsageExit;
}

std::optional<std::uint32_t> parse_count(const wchar_t* text) {
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (end == text || *end != L'\0' || value == 0 || value > 0xFFFFFFFFUL) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::vector<std::string> read_lines(const Path& file) {
  std::ifstream in(std::filesystem::path{file});
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  return lines;
}

int generate(const Path& top, std::uint32_t entries) {
  const TreePlan plan = plan_tree(entries, kTreeSeed);
  if (auto built = build_tree(top, plan); !built) {
    std::fprintf(stderr, "voxtrel-bench: building %s failed with error %u\n",
                 to_utf8_lossy(top).c_str(), built.error().code());
    return 1;
  }
  return 0;
}

int round(std::uint32_t entries, std::uint32_t number, const Path& copies, const Path& results,
          std::uint32_t limit_seconds) {
  RoundSettings settings{entries, number, copies, std::chrono::seconds(limit_seconds), {}};
  for (const std::string& line : read_lines(results)) {
    const auto earlier = parse_record(line);
    if (earlier && earlier->entries == entries && earlier->outcome == Outcome::kStopped) {
      settings.skip.insert(earlier->variant);
    }
  }
  std::ofstream out(std::filesystem::path{results}, std::ios::app);
  const auto append = [&](const std::string& line) {
    out << line << '\n';
    out.flush();
  };
  run_round(
      plan_tree(entries, kTreeSeed), settings,
      [&](const RunRecord& record) { append(format_record(record)); },
      [&](const std::string& note) { append(format_note(note)); });
  return out ? 0 : 1;
}

int report(const Path& results) {
  std::vector<RunRecord> records;
  std::vector<std::string> notes;
  std::vector<PendingRecord> pending;
  for (const std::string& line : read_lines(results)) {
    if (auto record = parse_record(line)) records.push_back(std::move(*record));
    if (auto note = parse_note(line)) notes.push_back(std::move(*note));
    if (auto record = parse_pending_record(line)) pending.push_back(std::move(*record));
  }
  std::fputs(render_tables(records, notes).c_str(), stdout);
  std::fputs(render_pending_table(pending).c_str(), stdout);
  const auto incomplete = [](const auto& record) { return record.outcome == Outcome::kIncomplete; };
  const bool whole_job =
      std::ranges::none_of(records, incomplete) && std::ranges::none_of(pending, incomplete);
  return whole_job && !(records.empty() && pending.empty()) ? 0 : 1;
}

int depth(int count, wchar_t** levels) {
  for (int i = 0; i < count; ++i) {
    const auto parsed = parse_count(levels[i]);
    if (!parsed) return usage();
    const auto removed = remove_deep_chain(*parsed);
    if (!removed) {
      std::fprintf(stderr, "voxtrel-bench: the chain of %u levels failed with error %u\n", *parsed,
                   removed.error().code());
      return 1;
    }
    std::printf("depth %u: %llu entries in %.3f s, %.2f us per entry\n", *parsed,
                static_cast<unsigned long long>(removed->entries), removed->seconds,
                removed->seconds * 1e6 / static_cast<double>(removed->entries));
  }
  return 0;
}

// Each case's base and held runs, in an order that alternates from round to round.
int pending(std::uint32_t round, const Path& trees, const Path& results, int count,
            wchar_t** texts) {
  std::vector<PendingCase> cases;
  for (int i = 0; i < count; ++i) {
    const auto tree = parse_pending_case(texts[i]);
    if (!tree) return usage();
    cases.push_back(*tree);
  }
  std::ofstream out(std::filesystem::path{results}, std::ios::app);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    for (const bool held : {round % 2 == 0, round % 2 != 0}) {
      const Path top =
          join_path(trees, L"case-" + std::to_wstring(i) + (held ? L"-held" : L"-base"));
      const PendingRecord record = time_pending_removal(cases[i], held, round, top);
      std::printf("  %u files and %u folders, round %u: %-4s %9.3f s  %s%s\n", cases[i].files,
                  cases[i].folders, round, held ? "held" : "base", record.seconds,
                  record.outcome == Outcome::kIncomplete ? "INCOMPLETE: " : "",
                  record.result.c_str());
      std::fflush(stdout);
      out << format_pending_record(record) << '\n';
      out.flush();
    }
  }
  return out ? 0 : 1;
}

int run(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"generate" && argc == 4) {
    const auto entries = parse_count(argv[3]);
    return entries ? generate(argv[2], *entries) : usage();
  }
  if (mode == L"round" && argc == 7) {
    const auto entries = parse_count(argv[2]);
    const auto number = parse_count(argv[3]);
    const auto limit = parse_count(argv[6]);
    if (!entries || !number || !limit) return usage();
    return round(*entries, *number, argv[4], argv[5], *limit);
  }
  if (mode == L"report" && argc == 3) return report(argv[2]);
  if (mode == L"depth" && argc > 2) return depth(argc - 2, argv + 2);
  if (mode == L"pending" && argc > 5) {
    const auto number = parse_count(argv[2]);
    return number ? pending(*number, argv[3], argv[4], argc - 5, argv + 5) : usage();
  }
  if (mode == L"hold" && argc == 4) {
    const auto files = parse_decimal_count(argv[3]);  // 0 too, unlike the other counts
    return files ? hold_pending_files(argv[2], *files) : usage();
  }
  return usage();
}

}  // namespace
}  // namespace voxtrel::bench

int wmain(int argc, wchar_t** argv) {
  return voxtrel::bench::run(argc, argv);
}
