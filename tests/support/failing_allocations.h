// Allocations that fail on demand. This header replaces the program's global operator new and
// delete, so one file of a test program includes it, and only one.
#pragma once

#include <cstdlib>
#include <new>

namespace voxtrel::testing {

enum class LaterAllocations : bool { kFail, kSucceed };

namespace allocation_state {
inline long left = -1;  // below 0: every allocation succeeds
inline bool only_one = false;
inline bool failed = false;
}  // namespace allocation_state

// From now on `succeeding` allocations succeed and the one after fails; after it every allocation
// fails (kFail) or succeeds again (kSucceed), until allow_allocations.
inline void fail_allocation_after(long succeeding, LaterAllocations later) noexcept {
  allocation_state::left = succeeding;
  allocation_state::only_one = later == LaterAllocations::kSucceed;
  allocation_state::failed = false;
}

// Every allocation succeeds again; whether one failed since fail_allocation_after.
inline bool allow_allocations() noexcept {
  allocation_state::left = -1;
  return allocation_state::failed;
}

}  // namespace voxtrel::testing

void* operator new(std::size_t size) {
  namespace state = voxtrel::testing::allocation_state;
  if (state::left == 0) {
    state::failed = true;
    if (state::only_one) state::left = -1;
    throw std::bad_alloc();
  }
  if (state::left > 0) --state::left;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// Not inlined: GCC's -Wmismatched-new-delete, seeing free() inlined into a caller of operator new,
// takes the pair for a mismatch in an optimised build.
[[gnu::noinline]] void operator delete(void* memory) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
