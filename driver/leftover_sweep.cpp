#include "driver/leftover_sweep.h"

#include "agent/footprint.h"
#include "driver/console.h"
#include "driver/transcript.h"
#include "system/format.h"
#include "system/path.h"
#include "system/text.h"
#include "system/tree_search.h"

namespace voxtrel {
namespace {

void remove_leftover(TreeSearch& search, const FoundFile& entry, SweepCounts& counts) {
  const std::string shown = shown_path(search.path_of(entry));
  print(fill(transcript::kLeftoverRemoving, {shown}));
  if (search.remove(entry)) {
    ++counts.removed;
    return;
  }
  print(fill(transcript::kLeftoverFailed, {shown}));
  ++counts.failed;
}

}  // namespace

SweepCounts sweep_leftovers(std::string_view directory, WalkProgress* progress) {
  SweepCounts counts;
  const std::wstring root = to_wide(directory);
  auto search = TreeSearch::open(root, progress);
  if (!search) {
    if (!search_root_hides_nothing(search.error())) counts.unsearched.push_back(root);
    return counts;
  }
  while (const auto entry = search->next()) {
    if (is_leftover_name(entry->name)) remove_leftover(*search, *entry, counts);
  }
  for (auto& folder : search->unsearched()) counts.unsearched.push_back(std::move(folder.path));
  return counts;
}

std::string leftover_summary(const SweepCounts& counts) {
  std::string lines;
  for (const Path& folder : counts.unsearched) {
    lines += fill(transcript::kNotSearched, {to_utf8_lossy(folder)});
  }
  if (counts.removed == 0 && counts.failed == 0)
    return lines + std::string(transcript::kNoLeftovers);
  if (counts.removed > 0) {
    lines += fill(transcript::kLeftoversRemoved, {std::to_string(counts.removed)});
  }
  if (counts.failed > 0) {
    lines += fill(transcript::kLeftoversFailed, {std::to_string(counts.failed)});
  }
  return lines;
}

}  // namespace voxtrel
