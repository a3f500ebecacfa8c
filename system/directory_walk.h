// Listing a directory through its own handle with the directory query, and the walk the leftover
// search makes with it: a stack of open directories, each child opened relative to its parent's
// handle. No path is resolved below the top, so what was listed is what gets opened or deleted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/error.h"
#include "system/path.h"
#include "system/unique_handle.h"
#include "system/walk_progress.h"

namespace voxtrel {

// Which file an open handle or a listed entry is: its volume and its ID there.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;

  // File ID 0 means the file system gave none: such an identity tells nothing.
  [[nodiscard]] constexpr bool known() const noexcept { return file != 0; }
  constexpr bool operator==(const FileIdentity&) const noexcept = default;
};

struct FileIdentityHash {
  [[nodiscard]] std::size_t operator()(const FileIdentity& identity) const noexcept {
    // Fibonacci hashing spreads the volume's serial number over the bits the file ID leaves.
    return std::hash<std::uint64_t>{}(identity.file ^ (identity.volume * 0x9E3779B97F4A7C15ULL));
  }
};

// The identity of the file `handle` holds. Errors: GetFileInformationByHandle's.
[[nodiscard]] Result<FileIdentity> identity_of(HANDLE handle);

// One record of a directory's listing. The name is valid until the listing reads again.
struct DirectoryRecord {
  DWORD attributes = 0;
  std::uint64_t file_id = 0;
  std::wstring_view name;

  [[nodiscard]] bool is_reparse_point() const noexcept {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }
  [[nodiscard]] bool is_directory() const noexcept {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
};

// An entry as its folder's listing shows it.
struct ListedEntry {
  DWORD attributes = 0;
  DWORD reparse_tag = 0;  // 0 unless `attributes` has FILE_ATTRIBUTE_REPARSE_POINT
  std::uint64_t file_id = 0;
};

// What the listing of the folder that holds `path` says of it; nothing when `path` names no
// entry of a folder (a root, or a path that ends in a separator). The folder is opened by its
// path under the walks' rules (it may be held by a user: see open_path), the entry looked up by
// name in its listing (wildcards in the name match as in FindFirstFileExW). Works where the entry
// itself cannot be opened. Errors: the folder's open error; ERROR_FILE_NOT_FOUND (2) when its
// listing has no such entry; the directory query's; ERROR_INVALID_DATA (13) for a malformed record.
[[nodiscard]] Result<std::optional<ListedEntry>> listed_entry(std::wstring_view path);

// A directory's listing read through its handle, one batch of records at a time, in the
// platform's order; ".", ".." and records without a name never come. The batch comes from
// whatever file system the handle leads to, so every record is checked to lie wholly inside it.
class HandleListing {
 public:
  explicit HandleListing(std::size_t batch_bytes);

  // The next record of `directory`; nothing once the listing has ended (ERROR_NO_MORE_FILES).
  // Errors: the directory query's; ERROR_INVALID_DATA (13) for a record that does not lie
  // wholly inside the batch, which ends the listing.
  [[nodiscard]] Result<std::optional<DirectoryRecord>> next(HANDLE directory);
  // Drops the current batch; the next read starts the listing over from its beginning.
  void restart() noexcept;
  // Drops the current batch and keeps whether the next read starts over: the next read is of
  // another directory, through its own handle.
  void drop_batch() noexcept;

 private:
  [[nodiscard]] Status read_batch(HANDLE directory);
  [[nodiscard]] Result<DirectoryRecord> read_record();

  std::size_t bytes_;
  std::unique_ptr<std::uint64_t[]> buffer_;  // 8-byte aligned, as the records are
  std::size_t offset_ = 0;
  bool filled_ = false;  // buffer_ holds records from offset_ on
  bool restart_ = true;  // the next read starts over
  bool ended_ = false;   // the platform reported the end
  std::wstring name_;    // the current record's name, copied out of the batch
};

// One open directory of the search.
struct WalkFrame {
  UniqueKernelHandle directory;
  HandleListing listing;
  FileIdentity identity;
  std::size_t path_length = 0;  // the walk's path up to this directory
};

// The directories from the search's top to the one being listed, each with its own listing, so
// that a parent's listing goes on where it was once a child is done. Every frame above the bottom
// was opened through a name the frame below listed. The walk owns every handle on it; dropping
// the walk closes them.
class DirectoryWalk {
 public:
  DirectoryWalk(std::size_t batch_bytes, WalkProgress* progress);

  // The top of the walk, shown as `path` exactly as given.
  void enter_top(UniqueKernelHandle directory, FileIdentity identity, std::wstring_view path);
  // A child of the current directory, listed under `name`.
  void enter(UniqueKernelHandle directory, FileIdentity identity, std::wstring_view name);
  // Closes the current directory; its parent becomes current.
  void leave();
  // Closes every directory: the walk is done.
  void abandon() noexcept { frames_.clear(); }

  [[nodiscard]] bool done() const noexcept { return frames_.empty(); }
  [[nodiscard]] WalkFrame& current() noexcept { return frames_.back(); }
  // The next record of the current directory's listing.
  [[nodiscard]] Result<std::optional<DirectoryRecord>> next_record();
  // The current directory's path: the top as given, joined with each name below it.
  [[nodiscard]] std::wstring_view path() const noexcept { return path_; }
  // Counts one more handled entry toward the next progress report.
  void count() noexcept { progress_.count(); }

 private:
  std::size_t batch_bytes_;
  ProgressCounter progress_;
  std::vector<WalkFrame> frames_;
  Path path_;
};

}  // namespace voxtrel
