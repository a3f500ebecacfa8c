#include "driver/leftover_sweep.h"

#include "driver/console.h"
#include "driver/format.h"
#include "driver/transcript.h"
#include "system/text.h"
#include "system/tree_search.h"

namespace voxtrel {
namespace {

void remove_leftover(TreeSearch& search, const FoundEntry& entry, SweepCounts& counts) {
  const std::string shown = to_utf8_lossy(search.path_of(entry));
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
  auto unsearched =
      search_leftovers(root, progress, [&counts](TreeSearch& search, const FoundEntry& leftover) {
        remove_leftover(search, leftover, counts);
      });
  if (!unsearched) {
    if (!search_root_hides_nothing(unsearched.error())) counts.unsearched.push_back(root);
    return counts;
  }
  for (auto& folder : *unsearched) counts.unsearched.push_back(std::move(folder.path));
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
