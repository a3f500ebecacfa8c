// Opening and deleting entries relative to an open directory handle. A name is looked up in the
// directory the handle holds, never by resolving a path again, so a folder renamed or swapped
// for a link after it was opened cannot redirect what is opened or deleted.
#pragma once

#include <cstdint>
#include <string_view>

#include "system/error.h"
#include "system/unique_handle.h"

namespace voxtrel {

enum class LinkHandling : std::uint8_t {
  kOpenItself,  // a link (or any reparse point) is opened as itself, never followed
  kFollow,      // a link is followed to its target
};

// Access and options for a directory that is to be listed through its handle.
inline constexpr ACCESS_MASK kListAccess = SYNCHRONIZE | FILE_LIST_DIRECTORY;
inline constexpr ULONG kListOptions = FILE_SYNCHRONOUS_IO_NONALERT;
// The same, for a directory whose attributes or identity are read back as well.
inline constexpr ACCESS_MASK kListAndReadAttributesAccess = kListAccess | FILE_READ_ATTRIBUTES;

// Opens `name` under `parent` (the empty name: the parent's own directory), shared for
// everything, never waiting on another handle's oplock. Returns an empty handle when the entry is
// gone (not found, or pending deletion).
// Errors: ERROR_SHARING_VIOLATION (32) when the open had to break another handle's oplock; every
// other open failure, as a Windows error code. A platform that rejects OBJ_DONT_REPARSE (87)
// loses it for the rest of the process after one repeat without it.
[[nodiscard]] Result<UniqueKernelHandle> open_relative(
    HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG options,
    LinkHandling links = LinkHandling::kOpenItself);

// Deletes the entry `opened` through its handle, which must hold DELETE: the extended
// disposition deletes read-only files too (Windows 10 1809, NTFS); where it is refused, the
// classic one is used, which fails on them with 5, and `extended_refused` (when given) is set
// to true. Errors: the disposition's.
[[nodiscard]] Status delete_opened(HANDLE opened, bool* extended_refused = nullptr);

// Deletes `name` under `parent` as itself; the empty name deletes the parent's own directory.
// `options` go to the open (FILE_NON_DIRECTORY_FILE: only a non-directory is deleted). A gone
// entry is success; any other is deleted as delete_opened does.
// Errors: the open's, or the disposition's.
[[nodiscard]] Status delete_entry(HANDLE parent, std::wstring_view name, ULONG options = 0,
                                  bool* extended_refused = nullptr);

// Deletes the non-directory `name` under `parent` as itself by opening it delete-on-close: on a
// file system that refuses the extended disposition, the same deletion as delete_entry's in one
// call fewer (under Wine, two wineserver round trips instead of three). A gone entry is success.
// Errors: ERROR_SHARING_VIOLATION (32) as the open meets it. When the open fails otherwise (a
// read-only file, a directory in the file's place), delete_entry answers instead, so the outcome
// is the one it would have given. An oplock break (32 too) leaves the file to be deleted when
// its holder closes it.
[[nodiscard]] Status delete_file_on_close(HANDLE parent, std::wstring_view name);

// Entries waited out between two attempts: a sharing conflict, a directory not yet empty.
inline constexpr int kMaxDeleteAttempts = 50;

// The attribute every relative open as itself carries: OBJ_DONT_REPARSE until the platform
// first rejects it, 0 from then on for the rest of the process.
[[nodiscard]] std::uint32_t relative_open_attribute() noexcept;

}  // namespace voxtrel
