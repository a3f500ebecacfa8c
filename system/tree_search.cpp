#include "system/tree_search.h"

#include <utility>

#include "system/file_system_calls.h"
#include "system/relative_open.h"

namespace voxtrel {
namespace {

// A folder to search, or a link's target, is opened only if it is a directory.
constexpr ULONG kSearchedDirectoryOptions = kListOptions | FILE_DIRECTORY_FILE;

}  // namespace

Result<TreeSearch> TreeSearch::open(std::wstring_view top, WalkProgress* progress) {
  auto prepared = prepare_path(top);
  if (!prepared) return std::unexpected(prepared.error());
  UniqueFile directory(
      file_system_calls.create_file(prepared->c_str(), kListAndReadAttributesAccess, kShareAll,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!directory) return fail_os(GetLastError());
  auto identity = identity_of(directory.get());
  if (!identity) return std::unexpected(identity.error());
  TreeSearch search(progress);
  search.walk_.enter_top(UniqueKernelHandle(directory.release()), *identity, top);
  return search;
}

bool TreeSearch::path_fits(std::wstring_view name) const noexcept {
  return walk_.path().size() + 1 + name.size() < kMaxPathUnits;
}

// A plain directory is opened as itself: if it was swapped for a link since it was listed, the
// link is what gets listed, never its target. Its identity is what the listing gave.
void TreeSearch::enter_directory(const DirectoryRecord& record) {
  if (!path_fits(record.name)) return;
  auto child = open_relative(walk_.current().directory.get(), record.name, kListAccess,
                             kSearchedDirectoryOptions);
  if (child && *child) {
    const FileIdentity identity{walk_.current().identity.volume, record.file_id};
    walk_.enter(std::move(*child), identity, record.name);
  }
}

// A reparse point is followed, and searched when its target is a directory that is not already
// on the current path (a link back to an ancestor would repeat the search without end).
// Returns false when the target is no directory to search: the entry is then taken as a file.
bool TreeSearch::enter_link_target(const DirectoryRecord& record) {
  auto target =
      open_relative(walk_.current().directory.get(), record.name, kListAndReadAttributesAccess,
                    kSearchedDirectoryOptions, LinkHandling::kFollow);
  if (!target || !*target) return false;
  const auto identity = identity_of(target->get());
  if (!identity) return false;
  if (walk_.on_current_path(*identity)) return true;
  if (!path_fits(record.name)) return true;
  walk_.enter(std::move(*target), *identity, record.name);
  return true;
}

std::optional<FoundEntry> TreeSearch::next() {
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

Path TreeSearch::path_of(const FoundEntry& entry) const {
  return join_path(walk_.path(), entry.name);
}

Status TreeSearch::remove(const FoundEntry& entry) {
  return delete_entry(walk_.current().directory.get(), entry.name);
}

}  // namespace voxtrel
