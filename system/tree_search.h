// Searching a directory tree for files, following links to directories, for the leftover sweep.
// Everything below the top is opened relative to the handle of the folder that listed it, and a
// found file is deleted through that same handle, so no folder renamed or swapped for a link
// after it was listed can redirect a deletion. No path is resolved below the top: paths are only
// what the search shows, so the depth is bounded by the folders there are, not by a path length.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "system/directory_walk.h"
#include "system/error.h"
#include "system/holder_wait.h"
#include "system/path.h"
#include "system/walk_progress.h"

namespace voxtrel {

// One directory query of the search fills this many bytes; one such buffer per level of depth.
inline constexpr std::size_t kSearchBatchBytes = 4096;

// An entry the search does not enter, so never a directory: a file, or a link whose target is not
// a directory (a link to nothing, or one whose target refuses the open, counts as a directory that
// holds nothing). Valid until the search moves on.
struct FoundFile {
  std::wstring_view name;
  DWORD attributes = 0;
};

// A folder that is there but could not be searched, so what is in it is not known.
struct UnsearchedFolder {
  Path path;    // as the search reached it (the top as given, joined with each name), shortened
                // as shortened_path does: any user can hold folders at the end of a long chain
  Error error;  // why: ERROR_SHARING_VIOLATION (32) for one held, or under an oplock not let go
                // of in time; the listing's error for one whose listing broke off
};

// Whether TreeSearch::open's `error` leaves nothing unknown: the top is not there, is no folder
// (ERROR_DIRECTORY), or may not be looked into (ERROR_ACCESS_DENIED, as clean machines have such
// folders).
[[nodiscard]] bool search_root_hides_nothing(const Error& error) noexcept;

class TreeSearch {
 public:
  // Opens `top` by its path (links followed), the one path the search resolves, under the walks'
  // rules (system/relative_open.h). Each entry searched is counted on `progress` (may be null).
  // Errors: the open's (is_entry_gone, or ERROR_DIRECTORY (267) for a file: nothing to search
  // there); ERROR_NOT_ENOUGH_MEMORY (8).
  [[nodiscard]] static Result<TreeSearch> open(std::wstring_view top, WalkProgress* progress);

  // The next entry that is not a directory to enter, depth-first in the platform's listing
  // order; nothing when the search is over. Directories are entered, links to directories too,
  // but each folder (volume and file ID) once: a folder met again by another route, or through a
  // link back to an ancestor, is not searched again. A folder (or a link's target) that cannot be
  // opened or listed contributes nothing: for lack of rights, or because it is not there (a link
  // to nothing), silently; otherwise it is one of unsearched(). Only a link whose target is not a
  // directory is an entry. Running out of memory ends the search: out_of_memory() says so.
  [[nodiscard]] std::optional<FoundFile> next();

  // The folders met so far that are there but could not be searched, in the order they were met;
  // a folder searched later by another route is left out. Once the search has run out of memory,
  // the top alone, with ERROR_NOT_ENOUGH_MEMORY (8): nothing not searched by then is known.
  [[nodiscard]] std::vector<UnsearchedFolder> unsearched() const;
  // Whether the search ran out of memory: everything not searched by then is unknown.
  [[nodiscard]] bool out_of_memory() const noexcept { return out_of_memory_; }

  // The path of the entry `next` returned last: the top as given, joined with each name.
  [[nodiscard]] Path path_of(const FoundFile& entry) const;

  // Whether the entry `next` returned last is deleted but still held open elsewhere, asked of it as
  // itself through the handle of the folder that listed it. Errors: the open's, but for
  // ERROR_DELETE_PENDING, which is the yes.
  [[nodiscard]] Result<bool> deletion_pending(const FoundFile& entry);

  // Deletes the entry `next` returned last, as itself (a link, not its target), through the
  // handle of the folder that listed it, and only if it is no directory (one swapped in since the
  // listing stays). Errors: as delete_entry.
  [[nodiscard]] Status remove(const FoundFile& entry);

 private:
  explicit TreeSearch(WalkProgress* progress) : walk_(kSearchBatchBytes, progress) {}

  // open(), which may run out of memory.
  [[nodiscard]] static Result<TreeSearch> open_top(std::wstring_view top, WalkProgress* progress);

  // Records `identity` as searched; false when it already was.
  [[nodiscard]] bool first_visit(const FileIdentity& identity);
  // Notes the folder `name` of the current directory as not searched, for `error`, unless that
  // error says it is not there or may not be looked at.
  void note_unsearched(std::wstring_view name, const Error& error, FileIdentity identity = {});
  // Enters the plain directory `record` names; one that cannot be opened is passed over.
  void enter_directory(const DirectoryRecord& record);
  // Enters the target of the reparse point `record` names when it is a directory not searched
  // yet; false when the target is not a directory (the entry then counts as a file).
  bool enter_link_target(const DirectoryRecord& record);
  // next(), which may run out of memory.
  [[nodiscard]] std::optional<FoundFile> find_next();

  HolderWaitScope holder_waits_;
  DirectoryWalk walk_;
  // Every folder entered so far. A planted chain of folders each holding two links to the next
  // would otherwise be searched once per route: 2^k times for k folders.
  std::unordered_set<FileIdentity, FileIdentityHash> visited_;
  std::vector<std::pair<UnsearchedFolder, FileIdentity>> unsearched_;
  Path top_;  // as given to open()
  bool out_of_memory_ = false;
};

}  // namespace voxtrel
