// The console window's title during the long steps (5, 6 and 8): which step runs and how many
// entries it has handled, so that a window that prints nothing for minutes does not look hung.
// The title is not standard output: the transcript's bytes are the same with or without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "system/walk_progress.h"

namespace voxtrel {

using ProgressClock = std::chrono::steady_clock;

// At most four titles a second: a title is a round trip to the console, and a reader cannot
// follow more anyway.
inline constexpr std::chrono::milliseconds kTitleInterval{250};

// What a step does to its entries: removes them (steps 5 and 6) or searches them (step 8).
enum class WalkKind : std::uint8_t { kRemoval, kSearch };

// The number in decimal with a comma between groups of three digits: 184230 -> "184,230".
[[nodiscard]] std::string group_digits(std::uint64_t value);

// "Voxtrel Force-Removal Tool - step 8 of 8: 184,230 entries searched".
[[nodiscard]] std::string progress_title(int step, WalkKind kind, std::uint64_t entries);

// A step's running total and whether it is time to show it. Pure: the caller reads the clock.
class TitlePacing {
 public:
  // A new total of zero, shown at `now`.
  void restart(ProgressClock::time_point now) noexcept;

  // Adds `entries`. True when a title was last shown at least kTitleInterval before `now`;
  // the caller then shows total() and `now` counts as the time it was shown.
  [[nodiscard]] bool advance(std::uint64_t entries, ProgressClock::time_point now) noexcept;

  [[nodiscard]] std::uint64_t total() const noexcept { return total_; }

 private:
  std::uint64_t total_ = 0;
  ProgressClock::time_point last_shown_{};
};

// The console's title for as long as it lives: the original is read when it is made and put
// back when it is destroyed, if a progress title was shown. Where standard output is no console
// (redirected to a file, say), or when the original cannot be read (it could not be put back), it
// never touches the title and hands out no reporter.
class ProgressTitle final : public WalkProgress {
 public:
  ProgressTitle();
  ~ProgressTitle();
  ProgressTitle(const ProgressTitle&) = delete;
  ProgressTitle& operator=(const ProgressTitle&) = delete;

  // Shows `step` with no entries yet and returns the reporter for its walks; null when the
  // title is not in use. The entries of every walk handed the reporter add up until the next
  // start_step.
  [[nodiscard]] WalkProgress* start_step(int step, WalkKind kind);

  // Called by the walks; looks at the clock, and shows the total when it is due.
  void advance(std::uint64_t entries) override;

 private:
  void show();

  std::optional<std::wstring> original_;  // nothing: the title is not in use
  int step_ = 0;
  WalkKind kind_ = WalkKind::kRemoval;
  TitlePacing pacing_;
  bool shown_ = false;  // a progress title replaced the original
};

}  // namespace voxtrel
