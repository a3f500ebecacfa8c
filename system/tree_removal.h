// Removing a directory and everything below it without ever following a link.
#pragma once

#include <cstddef>
#include <string_view>

#include "system/error.h"
#include "system/unique_handle.h"
#include "system/walk_progress.h"

namespace voxtrel {

// One directory query fills this many bytes.
inline constexpr std::size_t kDirectoryBatchBytes = 1024;

// Opens the top of a removal, `path`, by its path as itself, under the walks' rules (no wait on a
// user's oplock beyond the holder-wait bound): the one open that both tells whether the folder is
// there and starts its removal. A link at the path is opened as itself, but counts as there only
// when its target is (as path_exists says): a link to nothing is not there.
// Errors: the open's (is_entry_gone(): not there); ERROR_FILE_NOT_FOUND (2) for a link whose
// target is missing; ERROR_DIRECTORY (267) for anything but a directory; ERROR_NOT_SUPPORTED (50)
// for a link the platform would only follow.
[[nodiscard]] Result<UniqueKernelHandle> open_removal_top(std::wstring_view path);

// Deletes the directory `top` (from open_removal_top) and everything below it. A link inside is
// deleted as the link; its target is never entered. Read-only files go where the file system
// accepts the extended disposition. Entries that vanish meanwhile count as deleted. Each
// directory's listing is read once: its files are deleted as they come, then its folders are
// removed one after the other, then the directory itself, so an entry that stays in a listing
// (pending deletion while another handle holds it) is met once, not once per folder beside it.
// Each deleted entry is counted on `progress` (may be null).
// Errors: the first entry that cannot be deleted, after up to 50 attempts for
// ERROR_SHARING_VIOLATION (files) and ERROR_DIR_NOT_EMPTY (directories); ERROR_NOT_ENOUGH_MEMORY
// (8). What was deleted before a failure stays deleted; nothing after it is attempted.
[[nodiscard]] Status remove_opened_tree(UniqueKernelHandle top, WalkProgress* progress = nullptr);

// open_removal_top, then remove_opened_tree.
[[nodiscard]] Status remove_tree(std::wstring_view path, WalkProgress* progress = nullptr);

}  // namespace voxtrel
