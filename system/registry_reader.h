// Read-only access to the registry: open a key, list its subkeys by name, read one value as text,
// close the key. Keys are opened in the registry view of the tool's own 64-bit process. Every
// failure is the registry status as a value; nothing here prints or writes.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "system/error.h"
#include "system/unique_handle.h"

namespace voxtrel {

// KEY_READ (0x20019), with neither KEY_WOW64_64KEY nor KEY_WOW64_32KEY: the process's own view.
inline constexpr REGSAM kRegistryReadAccess = KEY_READ;
// Subkey names longer than this are reported by RegEnumKeyExW as an error item.
inline constexpr DWORD kSubkeyNameUnits = 2048;
// First size of the value buffer; grown to what RegQueryValueExW reports.
inline constexpr DWORD kInitialValueBytes = 2048;
// The highest registry type code the reader knows.
inline constexpr DWORD kHighestKnownValueType = REG_QWORD;

// Opens `path` under `parent` for reading. Fails with the status of RegOpenKeyExW, or with
// InvalidInput when the path holds a NUL.
[[nodiscard]] Result<UniqueRegistryKey> open_key(HKEY parent, std::string_view path);

// Closes an opened key now and returns the status of RegCloseKey.
Status close_key(UniqueRegistryKey key);

// The name of a subkey as UTF-8, decoded strictly: a name with an unpaired surrogate cannot be
// passed back to the registry unchanged, so it is the error ERROR_INVALID_BLOCK (9).
[[nodiscard]] Result<std::string> decode_subkey_name(std::wstring_view name);

// The subkeys of the open `key` by increasing index, one item per index: a name, or the error
// for that index (RegEnumKeyExW's status, or ERROR_INVALID_BLOCK for an undecodable name), which
// does not end the listing. It ends at ERROR_NO_MORE_ITEMS, or at ERROR_KEY_DELETED once the key
// itself is gone.
[[nodiscard]] std::vector<Result<std::string>> subkey_names(HKEY key);

// A value's bytes as text: REG_SZ, REG_EXPAND_SZ (not expanded) and REG_MULTI_SZ (its strings one
// per line) decode as UTF-16 with U+FFFD for unpaired surrogates, an odd last byte ignored and
// trailing NULs removed. Every other type is ERROR_BAD_FILE_TYPE (222).
[[nodiscard]] Result<std::string> decode_string_value(DWORD type, std::span<const std::byte> data);

// Reads `value_name` of `key` as text by the rules of decode_string_value, growing the buffer
// while RegQueryValueExW answers ERROR_MORE_DATA. Fails with RegQueryValueExW's status, 222 for
// a type that is not text, or InvalidInput when the name holds a NUL.
[[nodiscard]] Result<std::string> read_string_value(HKEY key, std::string_view value_name);

}  // namespace voxtrel
