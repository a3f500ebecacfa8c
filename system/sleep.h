#pragma once

#include <cstdint>

namespace voxtrel {

// Blocks the calling thread for `milliseconds`, on a high-resolution waitable timer where the
// platform offers one (Windows 10 1803 and later), else with Sleep.
void pause_for(std::uint32_t milliseconds) noexcept;

}  // namespace voxtrel
