// How far a long walk (the leftover sweep, a tree removal) has come, for a caller that shows it.
// The walks only count; what is shown, and how often, is the caller's business.
#pragma once

#include <cstdint>
#include <utility>

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

// A walk's count: reports every kProgressInterval entries to `sink` (may be null), and what is
// left when it goes.
class ProgressCounter {
 public:
  explicit ProgressCounter(WalkProgress* sink) noexcept : sink_(sink) {}
  ProgressCounter(ProgressCounter&& other) noexcept
      : sink_(other.sink_), unreported_(std::exchange(other.unreported_, 0)) {}
  ProgressCounter& operator=(ProgressCounter&&) = delete;
  ~ProgressCounter() {
    if (sink_ != nullptr && unreported_ != 0) sink_->advance(unreported_);
  }

  void count() noexcept {
    if (++unreported_ < kProgressInterval || sink_ == nullptr) return;
    sink_->advance(std::exchange(unreported_, 0));
  }

 private:
  WalkProgress* sink_;
  std::uint64_t unreported_ = 0;
};

}  // namespace voxtrel
