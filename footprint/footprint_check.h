// The footprint check: whether each part of the agent that the removal tool takes away is on this
// machine, asked read-only through the same system code and matching rules as the tool's steps.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace voxtrel {

enum class PartState : std::uint8_t {
  kAbsent,
  kPresent,
  kCannotTell,
  // Deleted, but still there until the last handle to it closes: at the latest at the next
  // restart.
  kPendingRestart,
};

// The exit codes: everything absent, something present, no answer for some part while nothing
// was found (a part found present is an answer whatever the others say), and nothing left but
// what goes at the next restart. The last is ERROR_SUCCESS_REBOOT_REQUIRED, which Windows
// Installer returns for the same state and deployment systems read as "succeeded, restart
// needed".
inline constexpr int kExitAllAbsent = 0;
inline constexpr int kExitPresent = 1;
inline constexpr int kExitCannotTell = 2;
inline constexpr int kExitPendingRestart = 3010;

struct PartReport {
  std::string_view part;  // one of the fixed part names
  PartState state = PartState::kAbsent;
  // Present: what was found, when there is more to say than the name. Cannot tell: why.
  // Pending restart: what waits for it.
  std::string detail;
};

// Asks about every part, in the order of the tool's steps: the service, the agent's processes,
// the uninstall entries of both lists, the two folders, the product key and the leftovers under
// both search roots. Changes nothing.
[[nodiscard]] std::vector<PartReport> check_footprint();

// "<part>: present (<detail>)", "<part>: absent", "<part>: cannot tell (<detail>)" or
// "<part>: pending restart (<detail>)", with "\n".
[[nodiscard]] std::string report_line(const PartReport& report);

// Present before cannot tell before pending restart before absent: the first of these that some
// part is decides.
[[nodiscard]] int footprint_exit_code(std::span<const PartReport> reports) noexcept;

}  // namespace voxtrel
