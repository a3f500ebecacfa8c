// Removing a directory and everything below it without ever following a link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "system/error.h"
#include "system/walk_progress.h"

namespace voxtrel {

// One directory query fills this many bytes; the same buffer serves the whole tree.
inline constexpr std::size_t kDirectoryBatchBytes = 1024;
// Attempts per entry while a sharing conflict (files) or a not-yet-empty directory is waited out.
inline constexpr int kMaxDeleteAttempts = 50;

// Deletes the directory at `path` and everything below it. A link at the top or inside is
// deleted as the link; its target is never entered. Read-only files go where the file system
// accepts the extended disposition. Entries that vanish meanwhile count as deleted.
// Errors: the top's open error; ERROR_DIRECTORY (267) when the top is not a directory, with
// nothing deleted; otherwise the first entry that cannot be deleted, after up to 50 attempts for
// ERROR_SHARING_VIOLATION (files) and ERROR_DIR_NOT_EMPTY (directories). What was deleted before
// a failure stays deleted; nothing after it is attempted. Deleted entries are reported to
// `progress`, when given, every kProgressInterval of them.
[[nodiscard]] Status remove_tree(std::wstring_view path, WalkProgress* progress = nullptr);

// The attribute every entry below the top is opened with: OBJ_DONT_REPARSE until the platform
// first rejects it, 0 from then on for the rest of the process.
[[nodiscard]] std::uint32_t relative_open_attribute() noexcept;

}  // namespace voxtrel
