#include "system/holder_wait.h"

#include <atomic>

#include "system/unique_handle.h"

namespace voxtrel {

// Shared by the watched thread and its watchdog. `lock` orders a cancel against the end of the
// call it is meant for: the watchdog cancels only while that call is armed, and the call is
// disarmed only under the lock, so a cancel can never reach whatever the thread does next (a
// console write, the next call).
struct WatchState {
  SRWLOCK lock = SRWLOCK_INIT;
  UniqueKernelHandle target;  // the watched thread, for CancelSynchronousIo
  DWORD owner = GetCurrentThreadId();
  UniqueKernelHandle stop;    // set when the scope ends
  UniqueKernelHandle thread;  // the watchdog
  std::uint64_t armed = 0;    // the call under way; 0 for none
  std::uint64_t cancelled = 0;
  std::uint64_t last = 0;
  HolderClock::time_point deadline{};
  // The budget is spent: the watchdog looks again at once instead of sleeping, so that a call
  // found waiting is cancelled at once.
  std::atomic<bool> urgent = false;
  std::atomic<bool> ending = false;
};

namespace {

// The scope in force, and the thread it watches. The walks run on one thread; a call from any other
// thread is watched by a scope of its own. (Not thread_local: MinGW's emulated thread-local
// storage keeps a handle for the life of the process once first used.)
WatchState* active_state = nullptr;

WatchState* state_for_this_thread() noexcept {
  return active_state != nullptr && active_state->owner == GetCurrentThreadId() ? active_state
                                                                                : nullptr;
}

class Locked {
 public:
  explicit Locked(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~Locked() { ReleaseSRWLockExclusive(&lock_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  SRWLOCK& lock_;
};

// Cancels the armed call once its deadline has passed, and again at every look while it is still
// armed: a cancel that comes before the call has reached the file system finds nothing to cancel.
void cancel_if_overdue(WatchState& state) {
  const Locked locked(state.lock);
  if (state.armed == 0 || HolderClock::now() < state.deadline) return;
  state.cancelled = state.armed;
  (void)CancelSynchronousIo(state.target.get());
}

DWORD WINAPI watchdog(void* context) {
  auto& state = *static_cast<WatchState*>(context);
  const auto tick = static_cast<DWORD>(kWatchdogTick.count());
  for (;;) {
    if (state.urgent.load()) {
      if (state.ending.load()) return 0;
      SwitchToThread();
    } else if (WaitForSingleObject(state.stop.get(), tick) != WAIT_TIMEOUT) {
      return 0;
    }
    cancel_if_overdue(state);
  }
}

// A handle of the calling thread that another thread can cancel its I/O through.
UniqueKernelHandle current_thread() {
  HANDLE raw = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &raw,
                       THREAD_TERMINATE, FALSE, 0)) {
    return {};
  }
  return UniqueKernelHandle(raw);
}

// The watchdog's state, its thread running; nothing when the thread cannot be had.
std::unique_ptr<WatchState> start_watchdog() {
  auto state = std::make_unique<WatchState>();
  state->target = current_thread();
  state->stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->target || !state->stop) return nullptr;
  state->thread.reset(CreateThread(nullptr, 0, &watchdog, state.get(), 0, nullptr));
  if (!state->thread) return nullptr;
  return state;
}

}  // namespace

void HolderWaitBudget::charge(HolderClock::duration waited) noexcept {
  remaining_ -= std::chrono::ceil<std::chrono::milliseconds>(waited);
  if (remaining_.count() < 0) remaining_ = std::chrono::milliseconds::zero();
}

HolderWaitBudget& holder_wait_budget() noexcept {
  static HolderWaitBudget budget;
  return budget;
}

HolderWaitScope::HolderWaitScope() {
  if (active_state != nullptr) return;
  state_ = start_watchdog();
  active_state = state_.get();
}

HolderWaitScope::HolderWaitScope(HolderWaitScope&& other) noexcept
    : state_(std::move(other.state_)) {}

HolderWaitScope::~HolderWaitScope() {
  if (!state_) return;
  if (active_state == state_.get()) active_state = nullptr;
  state_->ending.store(true);
  SetEvent(state_->stop.get());
  WaitForSingleObject(state_->thread.get(), INFINITE);
}

namespace detail {

WatchArming::WatchArming() {
  state_ = state_for_this_thread();
  if (state_ == nullptr) {
    own_scope_ = std::make_unique<HolderWaitScope>();
    state_ = own_scope_->state_.get();
  }
  started_ = HolderClock::now();
  if (state_ == nullptr) return;
  const auto left = holder_wait_budget().remaining();
  const auto bound = left < kHolderWaitBound ? left : kHolderWaitBound;
  const Locked locked(state_->lock);
  call_ = ++state_->last;
  state_->armed = call_;
  state_->deadline = started_ + bound;
  // Once the budget is spent it stays spent: from then on the watchdog looks without pausing.
  if (bound.count() <= 0) state_->urgent.store(true);
}

WatchedCall WatchArming::disarm() noexcept {
  WatchedCall outcome;
  if (state_ != nullptr && !disarmed_) {
    const Locked locked(state_->lock);
    state_->armed = 0;
    outcome.cancelled = state_->cancelled == call_;
  }
  disarmed_ = true;
  outcome.lasted = HolderClock::now() - started_;
  if (outcome.lasted >= kWatchdogTick) holder_wait_budget().charge(outcome.lasted);
  return outcome;
}

WatchArming::~WatchArming() {
  if (!disarmed_) (void)disarm();
}

}  // namespace detail
}  // namespace voxtrel
