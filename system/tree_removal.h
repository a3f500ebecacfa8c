// Removing a directory and everything below it without ever following a link.
#pragma once

#include <cstddef>
#include <string_view>

#include "system/error.h"
#include "system/walk_progress.h"

namespace voxtrel {

// One directory query fills this many bytes.
inline constexpr std::size_t kDirectoryBatchBytes = 1024;

// Deletes the directory at `path` and everything below it. A link at the top or inside is
// deleted as the link; its target is never entered. Read-only files go where the file system
// accepts the extended disposition. Entries that vanish meanwhile count as deleted. Each deleted
// entry is counted on `progress` (may be null).
// Errors: the top's open error; ERROR_DIRECTORY (267) when the top is not a directory, with
// nothing deleted; otherwise the first entry that cannot be deleted, after up to 50 attempts for
// ERROR_SHARING_VIOLATION (files) and ERROR_DIR_NOT_EMPTY (directories). What was deleted before
// a failure stays deleted; nothing after it is attempted.
[[nodiscard]] Status remove_tree(std::wstring_view path, WalkProgress* progress = nullptr);

}  // namespace voxtrel
