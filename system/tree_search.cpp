#include "system/tree_search.h"

#include <new>
#include <utility>

#include "system/file_system_calls.h"
#include "system/relative_open.h"

namespace voxtrel {
namespace {

// A folder to search, or a link's target, is opened only if it is a directory.
constexpr ULONG kSearchedDirectoryOptions = kListOptions | FILE_DIRECTORY_FILE;

}  // namespace

Result<TreeSearch> TreeSearch::open(std::wstring_view top, WalkProgress* progress) {
  try {
    return open_top(top, progress);
  } catch (const std::bad_alloc&) {
    return fail_os(ERROR_NOT_ENOUGH_MEMORY);
  }
}

Result<TreeSearch> TreeSearch::open_top(std::wstring_view top, WalkProgress* progress) {
  auto prepared = prepare_path(top);
  if (!prepared) return std::unexpected(prepared.error());
  UniqueFile directory(
      file_system_calls.create_file(prepared->c_str(), kListAndReadAttributesAccess, kShareAll,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!directory) return fail_os(GetLastError());
  auto identity = identity_of(directory.get());
  if (!identity) return std::unexpected(identity.error());
  TreeSearch search(progress);
  (void)search.first_visit(*identity);
  search.walk_.enter_top(UniqueKernelHandle(directory.release()), *identity, top);
  return search;
}

bool TreeSearch::path_fits(std::wstring_view name) const noexcept {
  return walk_.path().size() + 1 + name.size() < kMaxPathUnits;
}

bool TreeSearch::first_visit(const FileIdentity& identity) {
  return !identity.known() || visited_.insert(identity).second;
}

// A plain directory is opened as itself: if it was swapped for a link since it was listed, the
// link is what gets listed, never its target. Its identity is what the listing gave.
void TreeSearch::enter_directory(const DirectoryRecord& record) {
  const FileIdentity identity{walk_.current().identity.volume, record.file_id};
  if (!path_fits(record.name) || !first_visit(identity)) return;
  auto child = open_relative(walk_.current().directory.get(), record.name, kListAccess,
                             kSearchedDirectoryOptions);
  if (child && *child) walk_.enter(std::move(*child), identity, record.name);
}

// A reparse point is followed, and its target searched when it is a directory not searched yet.
// Only a target that is not a directory (STATUS_NOT_A_DIRECTORY, ERROR_DIRECTORY) makes the entry
// a file: a target that is missing, refuses the open or hides its identity is a directory that
// contributes nothing, so a link its owner made unlistable is never deleted as a leftover.
bool TreeSearch::enter_link_target(const DirectoryRecord& record) {
  auto target =
      open_relative(walk_.current().directory.get(), record.name, kListAndReadAttributesAccess,
                    kSearchedDirectoryOptions, LinkHandling::kFollow);
  if (!target) return !target.error().is_os(ERROR_DIRECTORY);
  if (!*target) return true;
  const auto identity = identity_of(target->get());
  if (!identity || !path_fits(record.name) || !first_visit(*identity)) return true;
  walk_.enter(std::move(*target), *identity, record.name);
  return true;
}

std::optional<FoundEntry> TreeSearch::find_next() {
  while (!walk_.done()) {
    auto record = walk_.next_record();
    // The end of a listing, or an error that ends it: what was found so far stands.
    if (!record || !*record) {
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
    return FoundEntry{entry.name, entry.attributes};
  }
  return std::nullopt;
}

std::optional<FoundEntry> TreeSearch::next() {
  try {
    return find_next();
  } catch (const std::bad_alloc&) {
    walk_.abandon();
    return std::nullopt;
  }
}

Path TreeSearch::path_of(const FoundEntry& entry) const {
  return join_path(walk_.path(), entry.name);
}

Status TreeSearch::remove(const FoundEntry& entry) {
  return delete_entry(walk_.current().directory.get(), entry.name, FILE_NON_DIRECTORY_FILE);
}

}  // namespace voxtrel
