// Searching a directory tree for files, following links to directories, for the leftover sweep.
// Everything below the top is opened relative to the handle of the folder that listed it, and a
// found file is deleted through that same handle, so no folder renamed or swapped for a link
// after it was listed can redirect a deletion.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "system/directory_walk.h"
#include "system/error.h"
#include "system/path.h"
#include "system/walk_progress.h"

namespace voxtrel {

// One directory query of the search fills this many bytes; one such buffer per level of depth.
inline constexpr std::size_t kSearchBatchBytes = 4096;
// Longest path the platform takes, in UTF-16 units. Folders whose shown path would reach it are
// not entered, which bounds the depth whatever a user plants.
inline constexpr std::size_t kMaxPathUnits = 32767;

// An entry the search does not enter: a file, a link to a file, or an entry whose target could
// not be opened as a directory. Valid until the search moves on.
struct FoundEntry {
  std::wstring_view name;
  DWORD attributes = 0;
};

class TreeSearch {
 public:
  // Opens `top` by its path (links followed), the one path the search resolves. Errors: the
  // open's; ERROR_NOT_ENOUGH_MEMORY (8). Each entry searched is counted on `progress` (may be null).
  [[nodiscard]] static Result<TreeSearch> open(std::wstring_view top, WalkProgress* progress);

  // The next entry that is not a directory to enter, depth-first in the platform's listing
  // order; nothing when the whole tree is searched. Directories are entered, links to
  // directories too, but each folder (volume and file ID) once: a folder met again by another
  // route, or through a link back to an ancestor, is not searched again. A folder that cannot be
  // opened or listed, or a link whose target cannot be opened or identified, contributes nothing;
  // only a link whose target is not a directory is an entry. Running out of memory ends the
  // search as if it were complete.
  [[nodiscard]] std::optional<FoundEntry> next();

  // The path of the entry `next` returned last: the top as given, joined with each name.
  [[nodiscard]] Path path_of(const FoundEntry& entry) const;

  // Deletes the entry `next` returned last, as itself (a link, not its target), through the
  // handle of the folder that listed it, and only if it is no directory (one swapped in since the
  // listing stays). Errors: as delete_entry.
  [[nodiscard]] Status remove(const FoundEntry& entry);

 private:
  explicit TreeSearch(WalkProgress* progress) : walk_(kSearchBatchBytes, progress) {}

  // open(), which may run out of memory.
  [[nodiscard]] static Result<TreeSearch> open_top(std::wstring_view top, WalkProgress* progress);

  // Whether the current directory's path joined with `name` stays below kMaxPathUnits.
  [[nodiscard]] bool path_fits(std::wstring_view name) const noexcept;
  // Records `identity` as searched; false when it already was.
  [[nodiscard]] bool first_visit(const FileIdentity& identity);
  // Enters the plain directory `record` names; one that cannot be opened is passed over.
  void enter_directory(const DirectoryRecord& record);
  // Enters the target of the reparse point `record` names when it is a directory not searched
  // yet; false when the target is not a directory (the entry then counts as a file).
  bool enter_link_target(const DirectoryRecord& record);
  // next(), which may run out of memory.
  [[nodiscard]] std::optional<FoundEntry> find_next();

  DirectoryWalk walk_;
  // Every folder entered so far. A planted chain of folders each holding two links to the next
  // would otherwise be searched once per route: 2^k times for k folders.
  std::unordered_set<FileIdentity, FileIdentityHash> visited_;
};

}  // namespace voxtrel
