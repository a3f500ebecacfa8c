// The agent's model: its footprint as both programs recognise it. The fixed targets and the roots
// searched for leftovers, the rule that picks the agent's products from the uninstall lists and
// the rule that picks its leftover backups, each named once here. The removal steps, the
// footprint check and the benchmark share them, so the check sees exactly what the tool would
// remove. Nothing here prints.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/error.h"

namespace voxtrel {

// The tool's fixed targets.
inline constexpr std::string_view kServiceName = "VoxtrelAgent";
inline constexpr std::string_view kAgentImageName = "voxtrel-agent.exe";
inline constexpr std::string_view kProgramFolder = "C:\\Program Files\\Voxtrel";
inline constexpr std::string_view kDataFolder = "C:\\ProgramData\\Voxtrel";
inline constexpr std::wstring_view kProductKey = L"SOFTWARE\\Voxtrel";
inline constexpr std::string_view kProgramFilesRoot = "C:\\Program Files";
inline constexpr std::string_view kProgramDataRoot = "C:\\ProgramData";
// Searched for leftovers, in this order, by step 8 and the footprint check.
inline constexpr std::array<std::string_view, 2> kSearchRoots = {kProgramFilesRoot,
                                                                 kProgramDataRoot};

// The uninstall lists under HKEY_LOCAL_MACHINE, in the order they are scanned.
inline constexpr std::string_view kUninstallRoot =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr std::string_view kUninstallRoot32 =
    "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// Both lists, in the order step 4 and the footprint check walk them.
inline constexpr std::array<std::string_view, 2> kUninstallRoots = {kUninstallRoot,
                                                                    kUninstallRoot32};
inline constexpr std::string_view kDisplayNameValue = "DisplayName";
// Compared case-sensitively, anywhere in the display name.
inline constexpr std::string_view kProductWord = "Voxtrel";

// Case-sensitive and anchored at the start of the name.
inline constexpr std::string_view kLeftoverPrefix = "voxtrel-agent.exe.old";

struct MatchedProduct {
  std::string subkey;        // passed to msiexec unchanged as the product code
  std::string display_name;  // as read, for the transcript line
};

// Whether a display name marks one of the agent's products.
[[nodiscard]] inline bool is_voxtrel_product(std::string_view display_name) noexcept {
  return display_name.find(kProductWord) != std::string_view::npos;
}

// The matching subkeys of the uninstall root `root` under `parent`, in index order. Every key it
// opens is closed before it returns; a root that cannot be opened, a subkey that cannot be listed
// or opened, and a display name that cannot be read (taken as empty) are skipped. The first of
// those failures that does not just say "not there" (an absent root, a subkey deleted meanwhile,
// no display name or one that is not text) goes to `failure` when it is given.
[[nodiscard]] std::vector<MatchedProduct> find_voxtrel_products(
    HKEY parent, std::string_view root, std::optional<Error>* failure = nullptr);

// A name matches when it is valid Unicode (no unpaired surrogate) and starts with the prefix.
[[nodiscard]] bool is_leftover_name(std::wstring_view name);

}  // namespace voxtrel
