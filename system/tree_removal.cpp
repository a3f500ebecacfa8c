#include "system/tree_removal.h"

#include <optional>
#include <string>
#include <utility>

#include "system/directory_walk.h"
#include "system/file_system_calls.h"
#include "system/path.h"
#include "system/relative_open.h"
#include "system/unique_handle.h"

namespace voxtrel {
namespace {

constexpr DWORD kTopOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// Whether `opened` is not what the listing showed: the listing reports a reparse point (a link,
// for a directory) but the handle, although opened as itself, lacks the attribute. Wine 8 opens
// the target of its Unix symbolic links whatever the flags say; walking such a handle would
// delete the target's content, and deleting it would delete the target itself. On Windows a
// handle opened as itself always carries the attribute, so this never fires there.
Result<bool> followed_a_link(HANDLE opened, DWORD listed_attributes) {
  if ((listed_attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_BASIC_INFO basic{};
  if (!file_system_calls.get_information(opened, FileBasicInfo, &basic, sizeof(basic))) {
    return fail_os(GetLastError());
  }
  return (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// A subdirectory of `parent` opened as itself for listing; an empty handle when it is gone.
// Errors: the open's, and ERROR_NOT_SUPPORTED (50) for a link the platform would only follow.
Result<UniqueKernelHandle> open_subdirectory(HANDLE parent, const DirectoryRecord& record) {
  const bool reparse = record.is_reparse_point();
  auto child = open_relative(parent, record.name,
                             reparse ? kListAndReadAttributesAccess : kListAccess, kListOptions);
  if (!child || !*child || !reparse) return child;
  auto followed = followed_a_link(child->get(), record.attributes);
  if (!followed) return std::unexpected(followed.error());
  if (*followed) return fail_os(ERROR_NOT_SUPPORTED);
  return child;
}

// Deletes the current directory, which the walk has emptied, and makes its parent current. The
// parent's listing starts over: what it held when last read has changed.
Status remove_emptied_directory(DirectoryWalk& walk) {
  auto deleted = delete_entry_with_retries(walk.current().directory.get(), {}, ERROR_DIR_NOT_EMPTY);
  if (!deleted) return deleted;
  walk.count();
  walk.leave();
  if (!walk.done()) walk.current().listing.restart();
  return {};
}

// One record of the current directory: a directory (or a link to one, opened as itself) becomes
// the current directory; anything else is deleted, waiting out sharing conflicts.
Status remove_record(DirectoryWalk& walk, const DirectoryRecord& record) {
  const HANDLE directory = walk.current().directory.get();
  if (record.is_directory()) {
    auto child = open_subdirectory(directory, record);
    if (!child) return std::unexpected(child.error());
    if (*child) walk.enter(std::move(*child), {}, record.name);
    return {};
  }
  auto deleted = delete_entry_with_retries(directory, record.name, ERROR_SHARING_VIOLATION);
  if (deleted) walk.count();
  return deleted;
}

// The attributes the parent's listing shows for the entry at `prepared`; nothing when the path
// names no listed entry (a root, or a path ending in a separator).
std::optional<DWORD> listed_attributes(const std::wstring& prepared) {
  WIN32_FIND_DATAW data{};
  const UniqueFind search(file_system_calls.find_first_file(
      prepared.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (!search) return std::nullopt;
  return data.dwFileAttributes;
}

// The top, opened as itself for listing; a link is not followed. Errors: the open's;
// ERROR_DIRECTORY (267) for anything but a directory; ERROR_NOT_SUPPORTED (50) for a link the
// platform would only follow.
Result<UniqueKernelHandle> open_top(std::wstring_view path) {
  auto prepared = prepare_path(path);
  if (!prepared) return std::unexpected(prepared.error());
  UniqueFile top(file_system_calls.create_file(prepared->c_str(), FILE_LIST_DIRECTORY, kShareAll,
                                               nullptr, OPEN_EXISTING, kTopOpenFlags, nullptr));
  if (!top) return fail_os(GetLastError());
  FILE_BASIC_INFO basic{};
  if (!file_system_calls.get_information(top.get(), FileBasicInfo, &basic, sizeof(basic))) {
    return fail_os(GetLastError());
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return fail_os(ERROR_DIRECTORY);
  // The path is read a second time here, for Wine's sake only: a swap since the open can change
  // no more than this check's verdict, since the walk goes through the handle opened as itself.
  if (const auto listed = listed_attributes(*prepared)) {
    auto followed = followed_a_link(top.get(), *listed);
    if (!followed) return std::unexpected(followed.error());
    if (*followed) return fail_os(ERROR_NOT_SUPPORTED);
  }
  return UniqueKernelHandle(top.release());
}

}  // namespace

// The walk goes down to the first subdirectory of each batch; when a directory's listing ends,
// the directory is empty and goes, and its parent is listed again from the start. The first
// failure ends the walk, which closes every handle still open.
Status remove_tree(std::wstring_view path, WalkProgress* progress) {
  auto top = open_top(path);
  if (!top) return std::unexpected(top.error());
  DirectoryWalk walk(kDirectoryBatchBytes, progress);
  walk.enter_top(std::move(*top), {}, path);
  while (!walk.done()) {
    auto record = walk.next_record();
    if (!record) return std::unexpected(record.error());
    const Status step = *record ? remove_record(walk, **record) : remove_emptied_directory(walk);
    if (!step) return step;
  }
  return {};
}

}  // namespace voxtrel
