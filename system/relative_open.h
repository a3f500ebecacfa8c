// Opening and deleting entries relative to an open directory handle, and opening the top of a
// walk by its path under the same rules. A name is looked up in the directory the handle holds,
// never by resolving a path again, so a folder renamed or swapped for a link after it was opened
// cannot redirect what is opened or deleted.
//
// No open waits on another handle's oplock (FILE_COMPLETE_IF_OPLOCKED): an open that breaks one
// comes back at once, and the break is then waited for within the holder-wait bound; a holder that
// answers in time is no failure, one that does not leaves the entry held. No deletion waits longer
// than that bound either (system/holder_wait.h). Every handle is synchronous, so that any call on
// it can be cancelled from the waiting side.
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

// Access for a directory that is to be listed through its handle.
inline constexpr ACCESS_MASK kListAccess = FILE_LIST_DIRECTORY;
// The same, for a directory whose attributes or identity are read back as well.
inline constexpr ACCESS_MASK kListAndReadAttributesAccess = kListAccess | FILE_READ_ATTRIBUTES;

// Opens `name` under `parent` (the empty name: the parent's own directory), shared for
// everything. Returns an empty handle when the entry is gone (not found, or pending deletion).
// Errors: ERROR_SHARING_VIOLATION (32) when the open broke another handle's oplock and the break
// did not complete within the bound (or the budget is spent); every other open failure, as a
// Windows error code. A platform that rejects OBJ_DONT_REPARSE (87) loses it for the rest of the
// process after one repeat without it.
[[nodiscard]] Result<UniqueKernelHandle> open_relative(
    HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG options,
    LinkHandling links = LinkHandling::kOpenItself);

// open_relative with every failure as the platform answered it: an entry that is gone is its
// error (one of is_entry_gone's: ERROR_DELETE_PENDING (303) for one deleted while another handle
// keeps it open), not an empty handle.
[[nodiscard]] Result<UniqueKernelHandle> open_relative_as_answered(
    HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG options,
    LinkHandling links = LinkHandling::kOpenItself);

// An open's answer read as "is the entry pending deletion": no when it opened, yes for
// ERROR_DELETE_PENDING (303), which every open of such an entry answers; otherwise the open's
// error.
[[nodiscard]] Result<bool> deletion_pending_from(const Result<UniqueKernelHandle>& opened);

// Opens `path` (made absolute, in its NT form) under the same rules as open_relative. Links on the
// way to the last component are followed, as CreateFileW follows them; the last one as `links`
// says. Errors: those of open_relative; the codes of is_entry_gone, which open_relative answers
// with an empty handle; ERROR_FILENAME_EXCED_RANGE (206) for a path longer than an NT name holds;
// as prepare_path for the path itself.
[[nodiscard]] Result<UniqueKernelHandle> open_path(std::wstring_view path, ACCESS_MASK access,
                                                   ULONG options, LinkHandling links);

// Deletes the entry `opened` through its handle, which must hold DELETE: the extended
// disposition deletes read-only files too (Windows 10 1809, NTFS); where it is refused, the
// classic one is used, which fails on them with 5, and `extended_refused` (when given) is set
// to true. A disposition still waiting for another handle's oplock when the bound runs out is
// cancelled. Errors: the disposition's; ERROR_SHARING_VIOLATION (32) for one cancelled so.
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
// is the one it would have given. A file whose open broke an oplock that was not let go of in
// time is closed delete-on-close all the same: it goes when its holder closes it.
[[nodiscard]] Status delete_file_on_close(HANDLE parent, std::wstring_view name);

// Entries waited out between two attempts: a sharing conflict, a directory not yet empty.
inline constexpr int kMaxDeleteAttempts = 50;

// The attribute every relative open as itself carries: OBJ_DONT_REPARSE until the platform
// first rejects it, 0 from then on for the rest of the process.
[[nodiscard]] std::uint32_t relative_open_attribute() noexcept;

}  // namespace voxtrel
