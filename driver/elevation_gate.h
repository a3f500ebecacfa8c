// The elevation gate: a process that cannot open the first physical disk and whose token is not
// elevated asks the system's PowerShell to start the tool again elevated and ends the run.
#pragma once

#include <string>
#include <string_view>

namespace voxtrel {

enum class GateOutcome { kContinue, kStop };

// Probes for administrator rights: the disk probe, then, when it fails, the process token.
// Elevated: kContinue, nothing printed. Otherwise prints the information line, attempts the
// elevated relaunch and returns kStop; a failure to find the tool's own path or to start PowerShell
// is absorbed.
[[nodiscard]] GateOutcome elevation_gate();

// `text` as a PowerShell single-quoted literal's content: every character PowerShell reads as a
// single quote (U+0027, U+2018, U+2019, U+201A, U+201B) is doubled, everything else is kept.
[[nodiscard]] std::string escape_single_quoted(std::string_view text);

// The command PowerShell runs to start `executable` elevated.
[[nodiscard]] std::string relaunch_command(std::string_view executable);

}  // namespace voxtrel
