// Step 4 of the run: every product in the two uninstall lists whose display name holds
// "Voxtrel" is uninstalled quietly through Windows Installer, one at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "system/windows_api.h"

namespace voxtrel {

// The uninstall lists under HKEY_LOCAL_MACHINE, in the order they are scanned.
inline constexpr std::string_view kUninstallRoot =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr std::string_view kUninstallRoot32 =
    "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr std::string_view kDisplayNameValue = "DisplayName";
// Compared case-sensitively, anywhere in the display name.
inline constexpr std::string_view kProductWord = "Voxtrel";

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
// or opened, and a display name that cannot be read (taken as empty) are skipped without a word.
[[nodiscard]] std::vector<MatchedProduct> find_voxtrel_products(HKEY parent, std::string_view root);

// Scans both roots and, per root, prints one line per match and waits for its quiet uninstall
// before the next; then prints the summary line. Nothing it meets stops the run.
void remove_msi_products();

}  // namespace voxtrel
