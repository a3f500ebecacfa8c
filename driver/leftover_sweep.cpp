#include "driver/leftover_sweep.h"

#include <vector>

#include "driver/console.h"
#include "driver/format.h"
#include "driver/transcript.h"
#include "system/file_ops.h"
#include "system/text.h"

namespace voxtrel {
namespace {

// Whether the sweep descends into the entry. Only a reparse point needs its own query (following
// the link); for every other entry the listing's attributes already tell a directory from a file,
// which spares one open per entry. A failed query makes the entry a file for the name test.
bool is_searched_directory(const DirectoryEntry& entry, const Path& path) {
  const DWORD listed = entry.find_record().dwFileAttributes;
  if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return (listed & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  const auto attributes = query_attributes(path);
  return attributes && is_directory(*attributes);
}

void remove_leftover(const Path& path, SweepCounts& counts) {
  const std::string shown = to_utf8_lossy(path);
  print(fill(transcript::kLeftoverRemoving, {shown}));
  if (remove_file(path)) {
    ++counts.removed;
    return;
  }
  print(fill(transcript::kLeftoverFailed, {shown}));
  ++counts.failed;
}

}  // namespace

bool is_leftover_name(std::wstring_view name) {
  const auto exact = to_utf8_strict(name);
  return exact && exact->starts_with(kLeftoverPrefix);
}

SweepCounts sweep_leftovers(std::string_view directory, WalkProgress* progress) {
  SweepCounts counts;
  std::uint64_t unreported = 0;  // listed since the last progress report
  auto root = list_directory(to_wide(directory));
  if (!root) return counts;
  // One open listing per level, the root's at the bottom. Each listing below the top stands
  // just after the entry of the directory above it, so its remaining entries come after that
  // directory's whole subtree, as in a recursive walk. A link back to an ancestor grows the
  // stack until the platform refuses the path.
  std::vector<DirectoryListing> open_levels;
  open_levels.push_back(std::move(*root));
  while (!open_levels.empty()) {
    auto item = open_levels.back().next();
    if (!item) {
      open_levels.pop_back();
      continue;
    }
    if (!*item) continue;  // an enumeration error is the listing's last item
    const DirectoryEntry& entry = **item;
    if (progress != nullptr && ++unreported == kProgressInterval) {
      progress->advance(unreported);
      unreported = 0;
    }
    // Passed on exactly as the platform returned it, unpaired surrogates included.
    const Path path = entry.entry_path();
    if (is_searched_directory(entry, path)) {
      if (auto below = list_directory(path)) open_levels.push_back(std::move(*below));
      continue;
    }
    if (is_leftover_name(entry.name())) remove_leftover(path, counts);
  }
  return counts;
}

std::string leftover_summary(const SweepCounts& counts) {
  if (counts.removed == 0 && counts.failed == 0) return std::string(transcript::kNoLeftovers);
  std::string lines;
  if (counts.removed > 0) {
    lines += fill(transcript::kLeftoversRemoved, {std::to_string(counts.removed)});
  }
  if (counts.failed > 0) {
    lines += fill(transcript::kLeftoversFailed, {std::to_string(counts.failed)});
  }
  return lines;
}

}  // namespace voxtrel
