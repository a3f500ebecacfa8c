#include "system/tree_removal.h"

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "system/directory_walk.h"
#include "system/file_queries.h"
#include "system/file_system_calls.h"
#include "system/holder_wait.h"
#include "system/relative_open.h"

namespace voxtrel {
namespace {

// Whether `opened` is not what the listing showed: the listing reports a reparse point (a link,
// for a directory) but the handle, although opened as itself, lacks the attribute. Wine (8 and
// 10) opens the target of its Unix symbolic links whatever the flags say; walking such a handle
// would delete the target's content, and deleting it would delete the target itself. On Windows a
// handle opened as itself always carries the attribute, so this never fires there.
Result<bool> opened_the_target(HANDLE opened, DWORD listed_attributes) {
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
  bool listed = false;     // its files are deleted, its folders in `folders`
  // The folders its listing showed, as (attributes, name), and how many of them are done.
  std::vector<std::pair<DWORD, std::wstring>> folders;
  std::size_t folders_done = 0;
};

// A subdirectory of `parent` opened as itself for listing; an empty handle when it is gone. DELETE
// is asked for too, so that the directory is deleted through the handle that listed it: two calls
// fewer than a delete open and its close. Where DELETE is refused (denied, or the directory held
// by another process without delete sharing), it is opened without, and deleted once emptied as
// any entry is: what is deleted and what fails stays the same.
// Errors: the open's, and ERROR_NOT_SUPPORTED (50) for a link the platform would only follow.
Result<OpenDirectory> open_subdirectory(HANDLE parent, DWORD attributes, std::wstring_view name) {
  const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const ACCESS_MASK access = reparse ? kListAndReadAttributesAccess : kListAccess;
  OpenDirectory child;
  child.deletable = true;
  auto opened = open_relative(parent, name, access | DELETE, 0);
  if (!opened && (opened.error().is_os(ERROR_ACCESS_DENIED) ||
                  opened.error().is_os(ERROR_SHARING_VIOLATION))) {
    child.deletable = false;
    opened = open_relative(parent, name, access, 0);
  }
  if (!opened) return std::unexpected(opened.error());
  child.handle = std::move(*opened);
  if (!child.handle || !reparse) return child;
  auto followed = opened_the_target(child.handle.get(), attributes);
  if (!followed) return std::unexpected(followed.error());
  if (*followed) return fail_os(ERROR_NOT_SUPPORTED);
  return child;
}

// The removal's working state. The stack holds the open directories from the top down to the
// one being emptied; each was opened relative to the one below it, through a name that one's
// listing gave, and the stack owns them all. One listing buffer serves every directory: a
// directory's listing is read to its end (its files deleted as they come, its folders noted)
// before any of its folders is entered, and never read again. So each level costs one handle and
// the names of its folders, no path is built, and no entry is met twice.
class RemovalWalk {
 public:
  RemovalWalk(UniqueKernelHandle top, WalkProgress* progress)
      : listing_(kDirectoryBatchBytes), progress_(progress) {
    // The top was opened by its path without DELETE, which could break a user's oplock; it is
    // deleted through a relative open of its own once emptied.
    stack_.emplace_back().handle = std::move(top);
  }

  // Empties and deletes the top. The first failure ends the walk; dropping the walk closes every
  // handle still open.
  Status run() {
    while (!stack_.empty()) {
      OpenDirectory& directory = stack_.back();
      Status step;
      if (!directory.listed) {
        step = delete_files(directory);
      } else if (directory.folders_done < directory.folders.size()) {
        step = enter_next_folder(directory);
      } else {
        step = remove_emptied_directory();
      }
      if (!step) return step;
    }
    return {};
  }

 private:
  // Reads the directory's listing once: files (and links to files) are deleted, waiting out
  // sharing conflicts; directories and links to them are noted for later.
  Status delete_files(OpenDirectory& directory) {
    listing_.restart();
    for (;;) {
      auto record = listing_.next(directory.handle.get());
      if (!record) return std::unexpected(record.error());
      if (!*record) break;
      if ((*record)->is_directory()) {
        directory.folders.emplace_back((*record)->attributes, (*record)->name);
        continue;
      }
      const std::wstring_view name = (*record)->name;
      auto deleted = with_retries(ERROR_SHARING_VIOLATION,
                                  [&] { return delete_file(directory.handle.get(), name); });
      if (!deleted) return deleted;
      progress_.count();
    }
    directory.listed = true;
    return {};
  }

  // The next folder the directory's listing showed becomes the one being emptied (a link to one
  // is opened as itself, and deleted as the link); one gone meanwhile is passed over.
  Status enter_next_folder(OpenDirectory& directory) {
    const auto& [attributes, name] = directory.folders[directory.folders_done++];
    auto child = open_subdirectory(directory.handle.get(), attributes, name);
    if (!child) return std::unexpected(child.error());
    // Its name is not needed any more; the memory of the noted names shrinks as they are done.
    std::wstring().swap(directory.folders[directory.folders_done - 1].second);
    if (child->handle) stack_.push_back(std::move(*child));
    return {};
  }

  // Deletes the directory being emptied, whose folders are all gone; its parent goes on.
  Status remove_emptied_directory() {
    auto deleted =
        with_retries(ERROR_DIR_NOT_EMPTY, [&] { return delete_directory(stack_.back()); });
    if (!deleted) return deleted;
    progress_.count();
    stack_.pop_back();
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
  // directory already gone or pending deletion as deleted. Later attempts open anew: Wine (8 and
  // 10) checks a directory's emptiness only at the first disposition through a handle, and a
  // second one through the same handle succeeds on a directory that is not empty (which then
  // stays).
  Status delete_directory(OpenDirectory& directory) {
    if (std::exchange(directory.deletable, false)) {
      Status deleted = delete_opened(directory.handle.get(), &extended_refused_);
      if (deleted || deleted.error().is_os(ERROR_DIR_NOT_EMPTY)) return deleted;
    }
    return delete_entry(directory.handle.get(), {}, 0, &extended_refused_);
  }

  HolderWaitScope holder_waits_;
  std::vector<OpenDirectory> stack_;
  HandleListing listing_;
  ProgressCounter progress_;
  bool extended_refused_ = false;
};

// Whether the top is a link its platform followed (see opened_the_target), told by the record its
// parent's listing holds for it, which is read through a parent handle opened under the walks'
// rules. Where that record cannot be had, nothing is known to say so.
Status check_not_followed(HANDLE top, std::wstring_view path) {
  auto listed = listed_entry(path);
  if (!listed || !*listed) return {};
  auto followed = opened_the_target(top, (*listed)->attributes);
  if (!followed) return std::unexpected(followed.error());
  if (*followed) return fail_os(ERROR_NOT_SUPPORTED);
  return {};
}

}  // namespace

Result<UniqueKernelHandle> open_removal_top(std::wstring_view path) {
  auto top = open_path(path, kListAndReadAttributesAccess, 0, LinkHandling::kOpenItself);
  if (!top) return std::unexpected(top.error());
  FILE_BASIC_INFO basic{};
  if (!file_system_calls.get_information(top->get(), FileBasicInfo, &basic, sizeof(basic))) {
    return fail_os(GetLastError());
  }
  // A link counts only when it leads somewhere, as the existence test that follows links says.
  if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !path_exists(path)) {
    return fail_os(ERROR_FILE_NOT_FOUND);
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return fail_os(ERROR_DIRECTORY);
  if (auto checked = check_not_followed(top->get(), path); !checked) {
    return std::unexpected(checked.error());
  }
  return top;
}

// A tree a user built to exhaust memory (millions of levels, each one handle) ends as this
// removal's failure, not the process's.
Status remove_opened_tree(UniqueKernelHandle top, WalkProgress* progress) {
  try {
    return RemovalWalk(std::move(top), progress).run();
  } catch (const std::bad_alloc&) {
    return fail_os(ERROR_NOT_ENOUGH_MEMORY);
  }
}

Status remove_tree(std::wstring_view path, WalkProgress* progress) {
  try {
    auto top = open_removal_top(path);
    if (!top) return std::unexpected(top.error());
    return remove_opened_tree(std::move(*top), progress);
  } catch (const std::bad_alloc&) {
    return fail_os(ERROR_NOT_ENOUGH_MEMORY);
  }
}

}  // namespace voxtrel
