#include "driver/elevation_gate.h"

#include <array>
#include <vector>

#include "driver/console.h"
#include "driver/transcript.h"
#include "system/format.h"
#include "system/path.h"
#include "system/process_runner.h"
#include "system/process_token.h"
#include "system/text.h"
#include "system/unique_handle.h"

namespace voxtrel {
namespace {

// Opening the first physical disk for reading needs administrator rights; nothing is read.
constexpr std::wstring_view kAdminProbeDevice = L"\\\\.\\PHYSICALDRIVE0";
constexpr DWORD kProbeShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr SystemProgram kPowerShell{.name = "powershell",
                                    .file = "WindowsPowerShell\\v1.0\\powershell.exe"};
constexpr std::string_view kCommandOption = "-Command";
constexpr std::string_view kRelaunchPattern = "Start-Process '{}' -Verb RunAs";

// The UTF-8 forms of the characters PowerShell takes as a single quote: the apostrophe and the
// typographic quotes U+2018 to U+201B.
constexpr std::array<std::string_view, 5> kSingleQuotes = {"'", "\u2018", "\u2019", "\u201A",
                                                           "\u201B"};

bool can_open_first_disk() {
  const UniqueFile disk(CreateFileW(kAdminProbeDevice.data(), GENERIC_READ, kProbeShare, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  return static_cast<bool>(disk);
}

// An elevated copy can fail the probe too (no disk 0 after a disk was removed, the disk opened
// exclusively, security software refusing raw disk opens); relaunching it would only start
// another copy that fails the same way, without end. So a failed probe is checked against the
// token; a token that cannot be read counts as not elevated.
bool is_elevated() {
  return can_open_first_disk() || is_process_elevated().value_or(false);
}

void relaunch_elevated() {
  auto executable = query_text(own_module_file_name);
  if (!executable) return;
  const std::vector<std::string> arguments = {std::string(kCommandOption),
                                              relaunch_command(to_utf8_lossy(*executable))};
  // The system's own PowerShell, never one beside the tool. It may be missing or refuse to
  // start; the run ends the same way either way.
  (void)spawn_detached(kPowerShell, arguments);
}

}  // namespace

std::string escape_single_quoted(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t length = 1;
    for (const std::string_view quote : kSingleQuotes) {
      if (text.substr(pos).starts_with(quote)) {
        escaped.append(quote);
        length = quote.size();
        break;
      }
    }
    escaped.append(text.substr(pos, length));
    pos += length;
  }
  return escaped;
}

std::string relaunch_command(std::string_view executable) {
  return fill(kRelaunchPattern, {escape_single_quoted(executable)});
}

GateOutcome elevation_gate() {
  if (is_elevated()) return GateOutcome::kContinue;
  print(transcript::kNotElevated);
  relaunch_elevated();
  return GateOutcome::kStop;
}

}  // namespace voxtrel
