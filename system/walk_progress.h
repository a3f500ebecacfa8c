// How far a long walk (the leftover sweep, a tree removal) has come, for a caller that shows it.
// The walks only count; what is shown, and how often, is the caller's business.
#pragma once

#include <cstdint>

namespace voxtrel {

// Entries between two reports: a walk looks at nothing per entry, so a report may look at the
// clock.
inline constexpr std::uint64_t kProgressInterval = 1024;

class WalkProgress {
 public:
  // `entries`: how many more entries the walk has handled since its previous report (searched
  // for the sweep, deleted for the tree removal). Called every kProgressInterval entries.
  virtual void advance(std::uint64_t entries) = 0;

 protected:
  ~WalkProgress() = default;
};

}  // namespace voxtrel
