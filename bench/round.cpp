#include "bench/round.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "bench/peer_variants.h"
#include "bench/tree_builder.h"
#include "driver/console.h"
#include "driver/leftover_sweep.h"
#include "driver/progress_title.h"
#include "system/file_queries.h"
#include "system/text.h"
#include "system/tree_removal.h"
#include "system/unique_handle.h"

namespace voxtrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::wstring_view kCommandOutputFile = L"command-output.txt";
constexpr std::wstring_view kReadOnlyProbeFile = L"read-only-probe";
constexpr std::string_view kReadOnlyKeptNote =
    "Read-only files: kept in every copy; this platform accepts the extended disposition "
    "(FileDispositionInfoEx) that lets remove_tree delete them.";
constexpr std::string_view kReadOnlyClearedNote =
    " read-only files made writable in the removal copies before timing (not timed), for "
    "every removal variant alike: this platform refuses the extended disposition "
    "(FileDispositionInfoEx), so remove_tree cannot delete a read-only file here. The sweep "
    "copies keep them.";
// The headers declare this class only for a later target version than the project's.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

struct Measured {
  double seconds = 0;
  Outcome outcome = Outcome::kDone;
  std::string detail;
  std::string note;  // for the notes under the tables
};

struct Copy {
  const TreePlan& plan;
  Path top;
  Path scratch_file;  // for the output of the variants that are other programs
  std::chrono::milliseconds limit;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string error_text(const Error& error) {
  if (error.kind() == ErrorKind::kOs) return "error " + std::to_string(error.code());
  return std::string(error.message());
}

Measured done(double seconds) {
  return Measured{seconds, Outcome::kDone, {}, {}};
}
Measured stopped(double seconds) {
  return Measured{seconds, Outcome::kStopped, {}, {}};
}
Measured incomplete(double seconds, std::string detail) {
  return Measured{seconds, Outcome::kIncomplete, std::move(detail), {}};
}

// Windows compares names without regard to case, and so do the checks.
std::wstring folded(std::wstring_view path) {
  std::wstring text(path);
  std::ranges::transform(text, text.begin(), [](wchar_t unit) {
    return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit - L'A' + L'a') : unit;
  });
  return text;
}

// Empty when `found` names exactly the plan's leftovers, else what is wrong.
std::string check_found(const Copy& copy, const std::vector<Path>& found) {
  std::set<std::wstring> expected;
  for (const PlannedEntry* entry : copy.plan.leftovers()) {
    expected.insert(folded(join_path(copy.top, entry->relative)));
  }
  std::set<std::wstring> reported;
  for (const Path& path : found) reported.insert(folded(path));
  std::size_t missed = 0;
  for (const auto& path : expected) missed += reported.contains(path) ? 0 : 1;
  if (missed != 0 || reported.size() != expected.size()) {
    return "found " + std::to_string(expected.size() - missed) + " of " +
           std::to_string(expected.size()) + " leftovers and " +
           std::to_string(reported.size() - (expected.size() - missed)) + " other paths";
  }
  return {};
}

bool exists(const Path& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Empty when every leftover is gone from disk and every decoy is still there.
std::string check_swept(const Copy& copy) {
  for (const PlannedEntry& entry : copy.plan.entries) {
    if (!entry.leftover && !entry.decoy) continue;
    const bool present = exists(join_path(copy.top, entry.relative));
    if (entry.leftover && present) return "leftover still there: " + to_utf8_lossy(entry.relative);
    if (!entry.leftover && !present) return "deleted by mistake: " + to_utf8_lossy(entry.relative);
  }
  return {};
}

template <typename Walker>
Measured run_walk(const Copy& copy, Walker&& walker, bool deletes) {
  const auto start = Clock::now();
  const auto walked = walker(copy.top, start + copy.limit);
  const double seconds = seconds_since(start);
  if (!walked) return incomplete(seconds, error_text(walked.error()));
  if (!walked->finished) return stopped(seconds);
  if (walked->entries != copy.plan.entries.size()) {
    return incomplete(seconds, "listed " + std::to_string(walked->entries) + " of " +
                                   std::to_string(copy.plan.entries.size()) + " entries");
  }
  std::string wrong = check_found(copy, walked->leftovers);
  if (wrong.empty() && deletes) wrong = check_swept(copy);
  return wrong.empty() ? done(seconds) : incomplete(seconds, wrong);
}

// The reporter the tool gives steps 5, 6 and 8 on a console, on whatever console this program
// has: its output is not one. Without a console the titles are refused, and the clock and the
// title text still cost what they cost. The time spent inside the reporter is measured apart,
// because it is far below the rounds' spread on a shared machine.
class TitleProgress final : public WalkProgress {
 public:
  TitleProgress(bool attached, int step, WalkKind kind) {
    if (!attached) return;
    // The tool shows a title only where standard output is a console, and this program's is a
    // file (or nothing while a walk is timed): its console stands in for the moment the title
    // is made.
    const UniqueFile console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (console) SetStdHandle(STD_OUTPUT_HANDLE, console.get());
    title_.emplace();
    SetStdHandle(STD_OUTPUT_HANDLE, output);
    (void)title_->start_step(step, kind);
  }
  WalkProgress* get() { return title_ ? this : nullptr; }

  void advance(std::uint64_t entries) override {
    const auto start = Clock::now();
    title_->advance(entries);
    inside_ += Clock::now() - start;
    ++reports_;
  }

  // What the reporter cost the walk of `seconds`, for the notes.
  std::string cost(std::string_view what, double seconds) const {
    const double inside = std::chrono::duration<double>(inside_).count();
    char text[200];
    std::snprintf(text, sizeof(text),
                  "%s: %llu reports, %.3f ms inside the reporter, %.4f%% of %.3f s",
                  std::string(what).c_str(), static_cast<unsigned long long>(reports_),
                  inside * 1e3, seconds > 0 ? 100 * inside / seconds : 0.0, seconds);
    return text;
  }

 private:
  std::optional<ProgressTitle> title_;
  Clock::duration inside_{};
  std::uint64_t reports_ = 0;
};

// The tool's step 8 on the copy, with or without the title progress. Its lines go nowhere while
// it is timed: with no standard output handle the console layer drops them.
Measured run_sweep(const Copy& copy, bool with_title) {
  const std::string top = to_utf8_lossy(copy.top);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  const auto start = Clock::now();
  SweepCounts counts;
  std::string cost;
  {
    TitleProgress progress(with_title, 8, WalkKind::kSearch);
    counts = sweep_leftovers(top, progress.get());
    if (with_title) cost = progress.cost("sweep_leftovers", seconds_since(start));
  }
  const double seconds = seconds_since(start);
  (void)flush_output();
  SetStdHandle(STD_OUTPUT_HANDLE, output);
  const std::size_t expected = copy.plan.leftovers().size();
  if (counts.removed != expected || counts.failed != 0) {
    return incomplete(seconds, "removed " + std::to_string(counts.removed) + " and failed " +
                                   std::to_string(counts.failed) + " of " +
                                   std::to_string(expected) + " leftovers");
  }
  const std::string wrong = check_swept(copy);
  Measured measured = wrong.empty() ? done(seconds) : incomplete(seconds, wrong);
  measured.note = std::move(cost);
  return measured;
}

Measured run_cmd_dir(const Copy& copy) {
  const auto start = Clock::now();
  const auto run = cmd_dir(copy.top, copy.scratch_file, copy.limit);
  const double seconds = seconds_since(start);
  if (!run) return incomplete(seconds, error_text(run.error()));
  if (!run->finished) return stopped(seconds);
  const std::string wrong = check_found(copy, run->output_lines);
  return wrong.empty() ? done(seconds) : incomplete(seconds, wrong);
}

Measured removal_checked(const Copy& copy, double seconds, const Status& removed) {
  if (!removed) return incomplete(seconds, error_text(removed.error()));
  if (exists(copy.top)) return incomplete(seconds, "the tree is still there");
  return done(seconds);
}

Measured run_removal(const Copy& copy, Status (*remover)(const Path&)) {
  const auto start = Clock::now();
  const Status removed = remover(copy.top);
  return removal_checked(copy, seconds_since(start), removed);
}

// remove_tree with or without the title progress; putting the title back is timed too.
Measured run_remove_tree(const Copy& copy, bool with_title) {
  const auto start = Clock::now();
  Status removed;
  std::string cost;
  {
    TitleProgress progress(with_title, 6, WalkKind::kRemoval);
    removed = remove_tree(copy.top, progress.get());
    if (with_title) cost = progress.cost("remove_tree", seconds_since(start));
  }
  Measured measured = removal_checked(copy, seconds_since(start), removed);
  measured.note = std::move(cost);
  return measured;
}

Measured run_cmd_rmdir(const Copy& copy) {
  const auto start = Clock::now();
  const auto run = cmd_rmdir(copy.top, copy.scratch_file, copy.limit);
  const double seconds = seconds_since(start);
  if (!run) return incomplete(seconds, error_text(run.error()));
  if (!run->finished) return stopped(seconds);
  return removal_checked(copy, seconds, {});
}

Measured run_variant(std::string_view id, const Copy& copy) {
  if (id == "bare-walk") {
    return run_walk(
        copy, [](const Path& top, Clock::time_point) { return bare_walk(top); }, false);
  }
  if (id == "one-open") return run_walk(copy, one_open_walk, true);
  if (id == "sweep") return run_sweep(copy, false);
  if (id == "sweep-progress") return run_sweep(copy, true);
  if (id == "cmd-dir") return run_cmd_dir(copy);
  if (id == "naive") return run_removal(copy, naive_remove);
  if (id == "remove-tree") return run_remove_tree(copy, false);
  if (id == "remove-tree-progress") return run_remove_tree(copy, true);
  if (id == "remove-all") return run_removal(copy, std_remove_all);
  if (id == "cmd-rmdir") return run_cmd_rmdir(copy);
  return incomplete(0, "not built in");
}

bool deletes_leftovers(std::string_view id) {
  return id == "sweep" || id == "sweep-progress" || id == "one-open";
}

// Whether a read-only file can be deleted the way the tool deletes it: one DELETE open and the
// extended disposition that ignores the read-only attribute (Windows 10 1809 and later, NTFS).
bool can_delete_read_only(const Path& folder) {
  const Path probe = join_path(folder, kReadOnlyProbeFile);
  UniqueFile created(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_READONLY, nullptr));
  if (!created) return false;
  created.reset();
  bool deleted = false;
  {
    const UniqueFile file(CreateFileW(probe.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_DISPOSITION_INFO_EX disposition{FILE_DISPOSITION_FLAG_DELETE |
                                         FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                         FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    deleted = file && SetFileInformationByHandle(file.get(), kFileDispositionInfoEx, &disposition,
                                                 sizeof(disposition));
  }
  if (!deleted) {
    SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(probe.c_str());
  }
  return deleted;
}

std::vector<const VariantInfo*> round_order(Group group, const RoundSettings& settings) {
  std::vector<const VariantInfo*> order;
  for (const VariantInfo& variant : kVariants) {
    if (variant.group == group && !settings.skip.contains(std::string(variant.id))) {
      order.push_back(&variant);
    }
  }
  if (!order.empty())
    std::ranges::rotate(order, order.begin() + (settings.round - 1) % order.size());
  return order;
}

void show(const RoundSettings& settings, const VariantInfo& variant, const Measured& measured) {
  static constexpr const char* kOutcomeText[] = {"", "  (stopped at the limit)", "  INCOMPLETE: "};
  std::printf("  %u entries, round %u: %-42s %9.3f s%s%s\n", settings.entries, settings.round,
              std::string(variant.title).c_str(), measured.seconds,
              kOutcomeText[static_cast<int>(measured.outcome)], measured.detail.c_str());
  std::fflush(stdout);
}

}  // namespace

void run_round(const TreePlan& plan, const RoundSettings& settings,
               const std::function<void(const RunRecord&)>& record,
               const std::function<void(const std::string&)>& note) {
  const Path scratch_file = join_path(settings.copies, kCommandOutputFile);
  const auto measure = [&](const VariantInfo& variant, const Path& top) {
    const Measured measured =
        run_variant(variant.id, Copy{plan, top, scratch_file, settings.limit});
    show(settings, variant, measured);
    if (!measured.note.empty()) {
      note(std::to_string(settings.entries) + " entries, round " + std::to_string(settings.round) +
           ", " + measured.note);
    }
    record(RunRecord{settings.entries, std::string(variant.id), settings.round, measured.outcome,
                     measured.seconds, measured.detail});
  };

  const Path listing = join_path(settings.copies, kListingCopy);
  for (const VariantInfo* variant : round_order(Group::kSweep, settings)) {
    measure(*variant, listing);
    if (deletes_leftovers(variant->id)) (void)restore_leftovers(listing, plan);
  }

  const bool keep_read_only = can_delete_read_only(settings.copies);
  note(keep_read_only ? std::string(kReadOnlyKeptNote)
                      : std::to_string(settings.entries) +
                            " entries: " + std::to_string(plan.read_only_files().size()) +
                            std::string(kReadOnlyClearedNote));
  for (const VariantInfo* variant : round_order(Group::kRemoval, settings)) {
    const Path top = join_path(settings.copies, to_wide(variant->id));
    if (!keep_read_only) (void)clear_read_only(top, plan);
    measure(*variant, top);
  }
}

}  // namespace voxtrel::bench
