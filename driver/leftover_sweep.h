// Step 8: the search of a directory tree for leftover backups of the agent's image
// ("voxtrel-agent.exe.old" and any longer name starting with it), each printed and deleted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "system/walk_progress.h"

namespace voxtrel {

// Case-sensitive and anchored at the start of the name.
inline constexpr std::string_view kLeftoverPrefix = "voxtrel-agent.exe.old";

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

// A name matches when it is valid Unicode (no unpaired surrogate) and starts with the prefix.
[[nodiscard]] bool is_leftover_name(std::wstring_view name);

// Searches `directory` (UTF-8) and everything below it, depth-first in the platform's listing
// order, following directory links. Prints "Removing:" before each deletion and "Failed to
// remove:" after one that fails. A directory that cannot be listed contributes nothing, silently.
// Listed entries are reported to `progress`, when given, every kProgressInterval of them.
SweepCounts sweep_leftovers(std::string_view directory, WalkProgress* progress = nullptr);

// The summary lines for the counts of both roots.
[[nodiscard]] std::string leftover_summary(const SweepCounts& counts);

}  // namespace voxtrel
