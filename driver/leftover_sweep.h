// Step 8: the search of a directory tree for leftover backups of the agent's image
// ("voxtrel-agent.exe.old" and any longer name starting with it), each printed and deleted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "driver/agent_footprint.h"
#include "system/walk_progress.h"

namespace voxtrel {

// Leftovers found, split by the outcome of their deletion. Sums wrap as unsigned 32-bit numbers.
struct SweepCounts {
  std::uint32_t removed = 0;
  std::uint32_t failed = 0;

  SweepCounts& operator+=(const SweepCounts& other) noexcept {
    removed += other.removed;
    failed += other.failed;
    return *this;
  }
};

// Searches `directory` (UTF-8) and everything below it, depth-first in the platform's listing
// order, following directory links but never back into a folder on the current path. Prints
// "Removing:" before each deletion and "Failed to remove:" after one that fails, each with the
// leftover's path as shown_path gives it. A directory that
// cannot be listed contributes nothing, silently. Each entry searched is counted on `progress`
// (may be null).
SweepCounts sweep_leftovers(std::string_view directory, WalkProgress* progress = nullptr);

// The summary lines for the counts of both roots.
[[nodiscard]] std::string leftover_summary(const SweepCounts& counts);

}  // namespace voxtrel
