// Waits that another handle's holder decides the length of. Any user may hold an oplock on a file
// or folder of theirs and never acknowledge its break; an open or a deletion that breaks it would
// then wait for ever. Every such wait of the walks is bounded, and all of them in one run share a
// budget: once it is spent, no call waits on a holder any more.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>

#include "system/windows_api.h"

namespace voxtrel {

using HolderClock = std::chrono::steady_clock;

// How long one wait for a holder may last: a cooperating holder (the indexer, a backup or sync
// client, an SMB client's lease) acknowledges a break within milliseconds.
inline constexpr std::chrono::milliseconds kHolderWaitBound{500};
// How long all such waits of one run may last together.
inline constexpr std::chrono::milliseconds kHolderWaitBudget{30'000};
// How often the watchdog looks at the call it watches; a call that lasts longer than this is
// taken to have waited for a holder, and what it lasted is charged to the budget.
inline constexpr std::chrono::milliseconds kWatchdogTick{10};

// What is left of the run's budget. Only the walking thread charges it.
class HolderWaitBudget {
 public:
  [[nodiscard]] std::chrono::milliseconds remaining() const noexcept { return remaining_; }
  [[nodiscard]] bool spent() const noexcept { return remaining_.count() <= 0; }
  void charge(HolderClock::duration waited) noexcept;
  // Sets what is left (the run starts with kHolderWaitBudget).
  void set_remaining(std::chrono::milliseconds remaining) noexcept { remaining_ = remaining; }

 private:
  std::chrono::milliseconds remaining_ = kHolderWaitBudget;
};

// The process's budget.
[[nodiscard]] HolderWaitBudget& holder_wait_budget() noexcept;

// How a bounded call ended: its own outcome, and whether the watchdog had to cancel it.
struct WatchedCall {
  bool cancelled = false;
  HolderClock::duration lasted{};
};

struct WatchState;
namespace detail {
class WatchArming;
}  // namespace detail

// Watches the calling thread for as long as it lives: a call made through watched_call() that is
// still under way when its bound runs out is cancelled from the waiting side (CancelSynchronousIo),
// so that the call returns with ERROR_OPERATION_ABORTED. The waits of the oplock package are
// cancellable operations ([MS-FSA] 2.1.4.12, 2.1.5.20); a call that does not wait is not affected
// by a cancel and completes as it would have. One scope is in force at a time: a scope made while
// another is watches nothing itself, and a call from another thread than the one watched gets a
// scope of its own. Without a watchdog (its thread
// could not start), calls run unbounded.
class HolderWaitScope {
 public:
  HolderWaitScope();
  ~HolderWaitScope();
  HolderWaitScope(HolderWaitScope&& other) noexcept;
  HolderWaitScope& operator=(HolderWaitScope&&) = delete;
  HolderWaitScope(const HolderWaitScope&) = delete;
  HolderWaitScope& operator=(const HolderWaitScope&) = delete;

 private:
  friend class detail::WatchArming;
  std::unique_ptr<WatchState> state_;
};

// Runs `call` on this thread, bounded by what is left of kHolderWaitBound and of the budget, under
// the scope in force on this thread (one is made for the call when none is). With the budget spent,
// the bound is zero: the call is cancelled as soon as it is found waiting. A call that lasts longer
// than kWatchdogTick is charged to the budget.
template <typename Call>
[[nodiscard]] WatchedCall watched_call(Call&& call);

namespace detail {
// The part of watched_call that does not depend on the call: arming, disarming, charging.
class WatchArming {
 public:
  WatchArming();
  ~WatchArming();
  WatchArming(const WatchArming&) = delete;
  WatchArming& operator=(const WatchArming&) = delete;
  [[nodiscard]] WatchedCall disarm() noexcept;

 private:
  std::unique_ptr<HolderWaitScope> own_scope_;  // when no scope was in force
  WatchState* state_ = nullptr;
  std::uint64_t call_ = 0;
  HolderClock::time_point started_;
  bool disarmed_ = false;
};
}  // namespace detail

template <typename Call>
WatchedCall watched_call(Call&& call) {
  detail::WatchArming arming;
  std::forward<Call>(call)();
  return arming.disarm();
}

}  // namespace voxtrel
