// The tool's one flow of control: banner, elevation gate, the eight removal steps in order,
// closing banner, and the wait for Enter.
#pragma once

#include <string_view>

#include "agent/footprint.h"

namespace voxtrel {

// Runs the whole removal; returns the process exit code, which is always 0. Only a failed
// console write ends the process earlier, by fail-fast.
int cleanup_run();

// The step 7 line for what RegDeleteTreeW returned: removed, absent, or refused.
[[nodiscard]] std::string_view product_key_line(long status) noexcept;

}  // namespace voxtrel
