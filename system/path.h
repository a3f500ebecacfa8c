// Paths and their preparation for the platform. A Path is UTF-16 as the platform returned it,
// unpaired surrogates included, so nothing is lost between listing an entry and opening it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "system/error.h"

namespace voxtrel {

using Path = std::wstring;

inline constexpr std::wstring_view kVerbatimPrefix = L"\\\\?\\";
inline constexpr std::wstring_view kNtObjectPrefix = L"\\??\\";
inline constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
inline constexpr std::wstring_view kVerbatimUncPrefix = L"\\\\?\\UNC\\";
// Paths this long (terminator counted) reach the platform only in the verbatim form.
inline constexpr std::size_t kLongPathThreshold = 248;
// First buffer for every text-returning query; grown until the text fits.
inline constexpr DWORD kInitialQueryUnits = 512;
// The longest path the transcript and the footprint check show, in UTF-16 units. Any user can
// make paths of 32,767 units under C:\ProgramData: shown whole, a few thousand leftovers there
// would write gigabytes into a log. Paths a machine holds of itself are far shorter.
inline constexpr std::size_t kMaxShownPathUnits = 1024;
// What stands for the middle of a path too long to show. Three ASCII dots rather than U+2026:
// the tool's own texts stay ASCII, so a log read in any code page shows them as written.
inline constexpr std::wstring_view kShownPathEllipsis = L"...";

[[nodiscard]] constexpr bool is_separator(wchar_t unit) noexcept {
  return unit == L'\\' || unit == L'/';
}

// A text-returning Windows query in the style of GetFullPathNameW: it fills `buffer` of `size`
// units and returns the text's length, the size it needs, or 0 with the last error set.
using TextQuery = std::function<DWORD(wchar_t* buffer, DWORD size)>;

// Runs `query` with a 512-unit buffer, growing it to the size the call reports, or doubling it
// when the call fills the buffer exactly (GetModuleFileNameW truncates and reports 122).
// A return of 0 with a non-zero last error is that error; with last error 0 it is empty text.
[[nodiscard]] Result<std::wstring> query_text(const TextQuery& query);

// GetFullPathNameW through query_text.
[[nodiscard]] Result<std::wstring> full_path_name(const std::wstring& path);

// The long-path prefix rule for an absolute form: "C:\..." gains "\\?\", "\\.\" becomes
// "\\?\", "\\?\" and "\??\" stay, any other "\\server" form becomes "\\?\UNC\server".
[[nodiscard]] std::wstring add_verbatim_prefix(std::wstring_view absolute);

// The form every operation hands to the platform: short drive and UNC paths unchanged, verbatim
// paths unchanged, everything else made absolute and prefixed. Fails with InvalidInput when the
// path holds a NUL unit, or with GetFullPathNameW's error.
[[nodiscard]] Result<std::wstring> prepare_path(std::wstring_view path);

// The NT form of `path` that NtOpenFile takes without a root handle: "\??\" and the absolute,
// prefixed form prepare_path would give, except that a short drive or UNC path is made absolute
// too (NtOpenFile does not resolve "." and ".." as CreateFileW does); a verbatim path stays as it
// is but for its prefix. Errors: as prepare_path.
[[nodiscard]] Result<std::wstring> nt_path(std::wstring_view path);

// Appends `name` after one "\", unless `directory` is empty, ends in a separator or is a bare
// drive ("C:").
[[nodiscard]] Path join_path(std::wstring_view directory, std::wstring_view name);
// join_path in place.
void append_path(Path& directory, std::wstring_view name);

// `path` as it is when it has at most kMaxShownPathUnits units; otherwise its start and its end
// with the ellipsis between, kMaxShownPathUnits units in all, or one fewer for each end that would
// otherwise be cut inside a surrogate pair. Costs what the bound allows, whatever the path's
// length.
[[nodiscard]] Path shortened_path(std::wstring_view path);

// shortened_path's text in UTF-8, with U+FFFD for each unpaired surrogate: what the transcript and
// the footprint check show of a path.
[[nodiscard]] std::string shown_path(std::wstring_view path);

// A folder the platform reports through `query`. An empty answer fails with NotFound: every name
// joined to it would be relative, found in the current directory or beside the tool.
[[nodiscard]] Result<std::wstring> reported_directory(const TextQuery& query);

// GetSystemDirectoryW and GetWindowsDirectoryW through reported_directory.
[[nodiscard]] Result<std::wstring> system_directory();
[[nodiscard]] Result<std::wstring> windows_directory();

// GetModuleFileNameW for the tool's own executable, as a TextQuery.
DWORD own_module_file_name(wchar_t* buffer, DWORD size);

}  // namespace voxtrel
