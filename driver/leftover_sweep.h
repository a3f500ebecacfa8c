// Step 8: the search of a directory tree for leftover backups of the agent's image
// ("voxtrel-agent.exe.old" and any longer name starting with it), each printed and deleted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "system/path.h"
#include "system/walk_progress.h"

namespace voxtrel {

// Leftovers found, split by the outcome of their deletion, and the folders that could not be
// searched, in the order they were met. Sums wrap as unsigned 32-bit numbers.
struct SweepCounts {
  std::uint32_t removed = 0;
  std::uint32_t failed = 0;
  std::vector<Path> unsearched;

  SweepCounts& operator+=(const SweepCounts& other) {
    removed += other.removed;
    failed += other.failed;
    unsearched.insert(unsearched.end(), other.unsearched.begin(), other.unsearched.end());
    return *this;
  }
};

// Searches `directory` (UTF-8) and everything below it, depth-first in the platform's listing
// order, following directory links but searching each folder once. Prints "Removing:" before each
// deletion and "Failed to remove:" after one that fails, each path as shown_path gives it. A folder
// it may not look into, or that is not there, contributes nothing, silently; one that is there but
// could not be searched (held by another program, its listing broken off, memory run out, the root
// itself refused) is noted in the counts. Each entry searched is counted on `progress` (may be
// null).
SweepCounts sweep_leftovers(std::string_view directory, WalkProgress* progress = nullptr);

// The closing lines of step 8 for the counts of both roots: each folder not searched, then the
// summary.
[[nodiscard]] std::string leftover_summary(const SweepCounts& counts);

}  // namespace voxtrel
