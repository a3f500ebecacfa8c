// The footprint check: whether each part of the agent that the removal tool takes away is on this
// machine, asked read-only through the same system code and matching rules as the tool's steps.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace voxtrel {

enum class PartState : std::uint8_t { kAbsent, kPresent, kCannotTell };

// The exit codes: everything absent, something present, and no answer for some part while
// nothing was found (a part found present is an answer whatever the others say).
inline constexpr int kExitAllAbsent = 0;
inline constexpr int kExitPresent = 1;
inline constexpr int kExitCannotTell = 2;

struct PartReport {
  std::string_view part;  // one of the fixed part names
  PartState state = PartState::kAbsent;
  // Present: what was found, when there is more to say than the name. Cannot tell: why.
  std::string detail;
};

// Asks about every part, in the order of the tool's steps: the service, the agent's processes,
// the uninstall entries of both lists, the two folders, the product key and the leftovers under
// both search roots. Changes nothing.
[[nodiscard]] std::vector<PartReport> check_footprint();

// "<part>: present (<detail>)", "<part>: absent" or "<part>: cannot tell (<detail>)", with "\n".
[[nodiscard]] std::string report_line(const PartReport& report);

[[nodiscard]] int footprint_exit_code(std::span<const PartReport> reports) noexcept;

}  // namespace voxtrel
