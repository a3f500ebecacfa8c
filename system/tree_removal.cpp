#include "system/tree_removal.h"

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// A directory of the removal, open for listing; an empty handle when it is gone.
struct OpenDirectory {
  UniqueKernelHandle handle;
  bool deletable = false;  // opened for DELETE too: deleted through this handle once emptied
};

// A subdirectory of `parent` opened as itself for listing; an empty handle when it is gone. DELETE
// is asked for too, so that the directory is deleted through the handle that listed it: two calls
// fewer than a delete open and its close. Where DELETE is refused (denied, or the directory held
// by another process without delete sharing), it is opened without, and deleted once emptied as
// any entry is: what is deleted and what fails stays the same.
// Errors: the open's, and ERROR_NOT_SUPPORTED (50) for a link the platform would only follow.
Result<OpenDirectory> open_subdirectory(HANDLE parent, const DirectoryRecord& record) {
  const bool reparse = record.is_reparse_point();
  const ACCESS_MASK access = reparse ? kListAndReadAttributesAccess : kListAccess;
  OpenDirectory child{.handle = {}, .deletable = true};
  auto opened = open_relative(parent, record.name, access | DELETE, kListOptions);
  if (!opened && (opened.error().is_os(ERROR_ACCESS_DENIED) ||
                  opened.error().is_os(ERROR_SHARING_VIOLATION))) {
    child.deletable = false;
    opened = open_relative(parent, record.name, access, kListOptions);
  }
  if (!opened) return std::unexpected(opened.error());
  child.handle = std::move(*opened);
  if (!child.handle || !reparse) return child;
  auto followed = followed_a_link(child.handle.get(), record.attributes);
  if (!followed) return std::unexpected(followed.error());
  if (*followed) return fail_os(ERROR_NOT_SUPPORTED);
  return child;
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

// The removal's working state. The stack holds the open directories from the top down to the
// one being emptied; each was opened relative to the one below it, through a name that one's
// listing gave, and the stack owns them all. One listing serves every directory: entering a child
// drops the parent's batch, and once the child is gone the parent is listed again from the start,
// since its content has changed. So each level costs one handle and no path is built: the depth of
// a tree costs no more than its breadth.
class RemovalWalk {
 public:
  // The top is opened by its path, where no open can ask not to wait on an oplock; it is opened
  // without DELETE, which could break one, and deleted through a relative open that can.
  RemovalWalk(UniqueKernelHandle top, WalkProgress* progress)
      : listing_(kDirectoryBatchBytes), progress_(progress) {
    stack_.push_back({.handle = std::move(top), .deletable = false});
  }

  // Empties and deletes the top. The first failure ends the walk; dropping the walk closes every
  // handle still open.
  Status run() {
    while (!stack_.empty()) {
      auto record = listing_.next(stack_.back().handle.get());
      if (!record) return std::unexpected(record.error());
      const Status step = *record ? remove_record(**record) : remove_emptied_directory();
      if (!step) return step;
    }
    return {};
  }

 private:
  // A directory (or a link to one, opened as itself) becomes the one being emptied; anything
  // else is deleted, waiting out sharing conflicts.
  Status remove_record(const DirectoryRecord& record) {
    const HANDLE directory = stack_.back().handle.get();
    if (record.is_directory()) {
      auto child = open_subdirectory(directory, record);
      if (!child) return std::unexpected(child.error());
      if (child->handle) {
        stack_.push_back(std::move(*child));
        listing_.drop_batch();
      }
      return {};
    }
    auto deleted =
        with_retries(ERROR_SHARING_VIOLATION, [&] { return delete_file(directory, record.name); });
    if (deleted) progress_.count();
    return deleted;
  }

  // Deletes the directory being emptied, whose listing has ended; its parent goes on.
  Status remove_emptied_directory() {
    auto deleted =
        with_retries(ERROR_DIR_NOT_EMPTY, [&] { return delete_directory(stack_.back()); });
    if (!deleted) return deleted;
    progress_.count();
    stack_.pop_back();
    listing_.restart();
    return {};
  }

  // `attempt()`, repeated while it fails with `waited_code`, at most kMaxDeleteAttempts times.
  // Between attempts the thread only yields: a holder about to close needs the processor, not
  // time.
  template <typename Attempt>
  static Status with_retries(DWORD waited_code, Attempt attempt) {
    for (int count = 1;; ++count) {
      Status outcome = attempt();
      if (outcome || count == kMaxDeleteAttempts || !outcome.error().is_os(waited_code)) {
        return outcome;
      }
      SwitchToThread();
    }
  }

  // Once the file system has refused the extended disposition, the files are opened
  // delete-on-close: the classic deletion in one call fewer. What one deletion learned holds for
  // the whole tree, which lies on one volume since the walk never follows a link.
  Status delete_file(HANDLE directory, std::wstring_view name) {
    if (extended_refused_) return delete_file_on_close(directory, name);
    return delete_entry(directory, name, 0, &extended_refused_);
  }

  // The first attempt goes through the handle that listed it where that holds DELETE; any
  // refusal there but ERROR_DIR_NOT_EMPTY is answered by a delete open of its own, which takes a
  // directory already gone or pending deletion as deleted. Later attempts open anew: Wine checks
  // a directory's emptiness only at the first disposition through a handle, and a second one
  // through the same handle succeeds on a directory that is not empty (which then stays).
  Status delete_directory(OpenDirectory& directory) {
    if (std::exchange(directory.deletable, false)) {
      Status deleted = delete_opened(directory.handle.get(), &extended_refused_);
      if (deleted || deleted.error().is_os(ERROR_DIR_NOT_EMPTY)) return deleted;
    }
    return delete_entry(directory.handle.get(), {}, 0, &extended_refused_);
  }

  std::vector<OpenDirectory> stack_;
  HandleListing listing_;
  ProgressCounter progress_;
  bool extended_refused_ = false;
};

}  // namespace

// A tree a user built to exhaust memory (millions of levels, each one handle) ends as this
// removal's failure, not the process's.
Status remove_tree(std::wstring_view path, WalkProgress* progress) {
  try {
    auto top = open_top(path);
    if (!top) return std::unexpected(top.error());
    return RemovalWalk(std::move(*top), progress).run();
  } catch (const std::bad_alloc&) {
    return fail_os(ERROR_NOT_ENOUGH_MEMORY);
  }
}

}  // namespace voxtrel
