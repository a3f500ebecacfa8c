#pragma once

#include <vector>

#include "system/unique_handle.h"

namespace voxtrel::testing {

// Notices handles left open since its creation. Where the process handle count is kept
// (Windows) it compares counts. Wine's count never moves, but Wine hands out the lowest free
// handle slots first, so there the lowest free slots (64: more than a removal here holds at once)
// are the same before and after exactly when nothing opened meanwhile was kept open.
class HandleLeakCheck {
 public:
  [[nodiscard]] bool leaked() const {
    const DWORD now = count();
    const std::vector<HANDLE> slots = free_slots();
    const UniqueKernelHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return count() == now + 1 ? now != count_ : slots != slots_;
  }

 private:
  static DWORD count() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
  }
  static std::vector<HANDLE> free_slots() {
    std::vector<UniqueKernelHandle> probes;
    std::vector<HANDLE> slots;
    for (int i = 0; i < 64; ++i) {
      probes.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      slots.push_back(probes.back().get());
    }
    return slots;
  }

  DWORD count_ = count();
  std::vector<HANDLE> slots_ = free_slots();
};

}  // namespace voxtrel::testing
