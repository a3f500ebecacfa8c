#include "system/sleep.h"

#include "system/unique_handle.h"

namespace voxtrel {
namespace {
constexpr LONGLONG kHundredNanosecondsPerMillisecond = 10'000;
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803); older systems refuse it and Sleep.
constexpr DWORD kHighResolutionTimer = 0x00000002;
}  // namespace

void pause_for(std::uint32_t milliseconds) noexcept {
  const UniqueKernelHandle timer(
      CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS));
  LARGE_INTEGER due{};
  due.QuadPart = -static_cast<LONGLONG>(milliseconds) * kHundredNanosecondsPerMillisecond;
  if (timer && SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE) &&
      WaitForSingleObject(timer.get(), INFINITE) == WAIT_OBJECT_0) {
    return;
  }
  Sleep(milliseconds);
}

}  // namespace voxtrel
