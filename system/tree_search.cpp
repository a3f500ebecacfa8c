#include "system/tree_search.h"

#include <new>
#include <utility>

#include "system/file_system_calls.h"
#include "system/relative_open.h"

namespace voxtrel {
namespace {

// A folder to search, or a link's target, is opened only if it is a directory.
constexpr ULONG kSearchedDirectoryOptions = FILE_DIRECTORY_FILE;

// The failures that hide nothing the search must answer for: a folder it may not look into
// (clean machines have them), and one that is not there (a link to nothing).
bool hides_nothing(const Error& error) noexcept {
  return error.is_os(ERROR_ACCESS_DENIED) || is_entry_gone(error);
}

}  // namespace

bool search_root_hides_nothing(const Error& error) noexcept {
  return hides_nothing(error) || error.is_os(ERROR_DIRECTORY);
}

Result<TreeSearch> TreeSearch::open(std::wstring_view top, WalkProgress* progress) {
  try {
    return open_top(top, progress);
  } catch (const std::bad_alloc&) {
    return fail_os(ERROR_NOT_ENOUGH_MEMORY);
  }
}

Result<TreeSearch> TreeSearch::open_top(std::wstring_view top, WalkProgress* progress) {
  auto directory = open_path(top, kListAndReadAttributesAccess, kSearchedDirectoryOptions,
                             LinkHandling::kFollow);
  if (!directory) return std::unexpected(directory.error());
  auto identity = identity_of(directory->get());
  if (!identity) return std::unexpected(identity.error());
  TreeSearch search(progress);
  search.top_ = Path(top);
  (void)search.first_visit(*identity);
  search.walk_.enter_top(std::move(*directory), *identity, top);
  return search;
}

bool TreeSearch::first_visit(const FileIdentity& identity) {
  return !identity.known() || visited_.insert(identity).second;
}

void TreeSearch::note_unsearched(std::wstring_view name, const Error& error,
                                 FileIdentity identity) {
  if (hides_nothing(error)) return;
  unsearched_.push_back({{shortened_path(join_path(walk_.path(), name)), error}, identity});
}

// A plain directory is opened as itself: if it was swapped for a link since it was listed, the
// link is what gets listed, never its target. Its identity is what the listing gave.
void TreeSearch::enter_directory(const DirectoryRecord& record) {
  const FileIdentity identity{walk_.current().identity.volume, record.file_id};
  if (!first_visit(identity)) return;
  auto child = open_relative(walk_.current().directory.get(), record.name, kListAccess,
                             kSearchedDirectoryOptions);
  if (!child) {
    // Not entered: a link to it may still lead the search into it (a plain folder has one parent).
    visited_.erase(identity);
    note_unsearched(record.name, child.error(), identity);
  } else if (*child) {
    walk_.enter(std::move(*child), identity, record.name);
  }
}

// A reparse point is followed, and its target searched when it is a directory not searched yet.
// Only a target that is not a directory (STATUS_NOT_A_DIRECTORY, ERROR_DIRECTORY) makes the entry
// a file: a target that is missing, refuses the open or hides its identity is a directory that
// contributes nothing, so a link its owner made unlistable is never deleted as a leftover.
bool TreeSearch::enter_link_target(const DirectoryRecord& record) {
  auto target =
      open_relative(walk_.current().directory.get(), record.name, kListAndReadAttributesAccess,
                    kSearchedDirectoryOptions, LinkHandling::kFollow);
  if (!target) {
    if (target.error().is_os(ERROR_DIRECTORY)) return false;
    note_unsearched(record.name, target.error());
    return true;
  }
  if (!*target) return true;
  const auto identity = identity_of(target->get());
  if (!identity) {
    note_unsearched(record.name, identity.error());
    return true;
  }
  if (first_visit(*identity)) walk_.enter(std::move(*target), *identity, record.name);
  return true;
}

std::optional<FoundFile> TreeSearch::find_next() {
  while (!walk_.done()) {
    auto record = walk_.next_record();
    // The end of a listing, or an error that ends it: what was found so far stands, and a
    // listing that broke off leaves its folder not searched as a whole.
    if (!record || !*record) {
      if (!record && !hides_nothing(record.error())) {
        unsearched_.push_back({{shortened_path(walk_.path()), record.error()}, FileIdentity{}});
      }
      walk_.leave();
      continue;
    }
    walk_.count();
    const DirectoryRecord& entry = **record;
    if (entry.is_reparse_point()) {
      if (enter_link_target(entry)) continue;
    } else if (entry.is_directory()) {
      enter_directory(entry);
      continue;
    }
    return FoundFile{entry.name, entry.attributes};
  }
  return std::nullopt;
}

std::optional<FoundFile> TreeSearch::next() {
  try {
    return find_next();
  } catch (const std::bad_alloc&) {
    walk_.abandon();
    out_of_memory_ = true;
    return std::nullopt;
  }
}

std::vector<UnsearchedFolder> TreeSearch::unsearched() const {
  if (out_of_memory_) return {{top_, Error::os(ERROR_NOT_ENOUGH_MEMORY)}};
  std::vector<UnsearchedFolder> folders;
  for (const auto& [folder, identity] : unsearched_) {
    // A folder whose open failed on one route and that another route then searched.
    if (!identity.known() || !visited_.contains(identity)) folders.push_back(folder);
  }
  return folders;
}

Path TreeSearch::path_of(const FoundFile& entry) const {
  return join_path(walk_.path(), entry.name);
}

Result<bool> TreeSearch::deletion_pending(const FoundFile& entry) {
  return deletion_pending_from(open_relative_as_answered(
      walk_.current().directory.get(), entry.name, FILE_READ_ATTRIBUTES, FILE_NON_DIRECTORY_FILE));
}

Status TreeSearch::remove(const FoundFile& entry) {
  return delete_entry(walk_.current().directory.get(), entry.name, FILE_NON_DIRECTORY_FILE);
}

}  // namespace voxtrel
