// Every fixed text of the transcript, together so they can be read against each other. Lines
// inside a step begin with six blanks; "{}" marks where a path, name or number goes.
#pragma once

#include <string_view>

namespace voxtrel::transcript {

inline constexpr std::string_view kRule = "========================================";
inline constexpr std::string_view kTitle = "  Voxtrel Force-Removal Tool\n";
inline constexpr std::string_view kComplete = "  Voxtrel cleanup complete.\n";
inline constexpr std::string_view kPrompt = "Press Enter to exit...";

inline constexpr std::string_view kNotElevated =
    "[INFO] Not running as administrator. Re-launching elevated...\n";

inline constexpr std::string_view kStep1 = "[1/8] Stopping VoxtrelAgent service...\n";
inline constexpr std::string_view kStep2 = "[2/8] Deleting VoxtrelAgent service...\n";
inline constexpr std::string_view kStep3 = "[3/8] Killing voxtrel-agent.exe processes...\n";
inline constexpr std::string_view kStep4 = "[4/8] Scanning for Voxtrel MSI products...\n";
inline constexpr std::string_view kStep5 = "[5/8] Removing C:\\Program Files\\Voxtrel...\n";
inline constexpr std::string_view kStep6 = "[6/8] Removing C:\\ProgramData\\Voxtrel...\n";
inline constexpr std::string_view kStep7 =
    "[7/8] Removing HKLM\\SOFTWARE\\Voxtrel registry key...\n";
inline constexpr std::string_view kStep8 = "[8/8] Searching for voxtrel-agent.exe.old* files...\n";

inline constexpr std::string_view kDone = "      Done.\n";

inline constexpr std::string_view kUninstallingProduct = "      Uninstalling MSI: {} ({})\n";
inline constexpr std::string_view kProductsIssued = "      MSI uninstall commands issued.\n";
inline constexpr std::string_view kNoProducts = "      No Voxtrel MSI products found.\n";

inline constexpr std::string_view kFolderNotFound = "      Not found, skipping: {}\n";
inline constexpr std::string_view kFolderRemoved = "      Removed: {}\n";
inline constexpr std::string_view kFolderFailed = "      Failed to remove: {}\n";

inline constexpr std::string_view kKeyRemoved = "      Removed HKLM\\SOFTWARE\\Voxtrel.\n";
inline constexpr std::string_view kKeyNotFound =
    "      Not found, skipping HKLM\\SOFTWARE\\Voxtrel.\n";
inline constexpr std::string_view kKeyFailed = "      Failed to remove HKLM\\SOFTWARE\\Voxtrel.\n";

inline constexpr std::string_view kLeftoverRemoving = "      Removing: {}\n";
inline constexpr std::string_view kLeftoverFailed = "      Failed to remove: {}\n";
inline constexpr std::string_view kNotSearched = "      Could not search: {}\n";
inline constexpr std::string_view kNoLeftovers = "      No leftover .old files found.\n";
inline constexpr std::string_view kLeftoversRemoved = "      Removed {} leftover file(s).\n";
inline constexpr std::string_view kLeftoversFailed =
    "      Failed to remove {} leftover file(s).\n";

}  // namespace voxtrel::transcript
