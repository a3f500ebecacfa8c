// File queries, listing and single-file removal. Every operation prepares its path first (so long
// paths work) and reports failure as a value; nothing here prints.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "system/error.h"
#include "system/path.h"
#include "system/unique_handle.h"

namespace voxtrel {

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The reparse-tag bit that marks symbolic links and junctions ("name surrogates").
inline constexpr DWORD kNameSurrogateTagBit = 0x20000000;

struct FileAttributes {
  DWORD attributes = 0;
  DWORD reparse_tag = 0;  // 0 unless `attributes` has FILE_ATTRIBUTE_REPARSE_POINT
};

// A symbolic link or junction: a reparse point whose tag is a name surrogate.
[[nodiscard]] constexpr bool is_link(const FileAttributes& entry) noexcept {
  return (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (entry.reparse_tag & kNameSurrogateTagBit) != 0;
}
// A directory that is not a link.
[[nodiscard]] constexpr bool is_directory(const FileAttributes& entry) noexcept {
  return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !is_link(entry);
}

// The attributes of what `path` names, following links. Falls back to the link itself when its
// target cannot be reached (1920) and the entry turns out not to be a link, and to a directory
// search when opening is refused (5) or blocked (32). Every other failure is returned.
[[nodiscard]] Result<FileAttributes> query_attributes(std::wstring_view path);

// True exactly when query_attributes succeeds: a link to a missing target does not exist.
[[nodiscard]] bool path_exists(std::wstring_view path);

// One entry of a directory listing: its find record and the listed directory it was found in.
// It refers to its listing's copy of the directory path, so it is valid while the listing lives.
class DirectoryEntry {
 public:
  DirectoryEntry(const WIN32_FIND_DATAW& record, std::wstring_view directory)
      : record_(record), directory_(directory) {}

  // cFileName up to its first NUL unit; the whole 260-unit field when it holds none.
  [[nodiscard]] std::wstring_view name() const noexcept;
  // The listed directory, exactly as given to list_directory, joined with the name.
  [[nodiscard]] Path entry_path() const { return join_path(directory_, name()); }
  [[nodiscard]] const WIN32_FIND_DATAW& find_record() const noexcept { return record_; }

 private:
  WIN32_FIND_DATAW record_;
  std::wstring_view directory_;
};

// An item of a listing: an entry, or the enumeration error that ends the listing.
using ListingItem = Result<DirectoryEntry>;

// An open directory search. Yields the entries in the platform's order, never "." or "..";
// an enumeration error comes at most once, as the last item. The search handle is closed as soon
// as the platform reports the end or an error, or when the listing is dropped.
class DirectoryListing {
 public:
  // An empty listing: it yields nothing.
  explicit DirectoryListing(std::wstring_view directory)
      : directory_(std::make_unique<const Path>(directory)) {}
  // A listing whose first record `first` came with the open `search`.
  DirectoryListing(std::wstring_view directory, UniqueFind search, const WIN32_FIND_DATAW& first)
      : directory_(std::make_unique<const Path>(directory)),
        search_(std::move(search)),
        record_(first),
        pending_(true) {}
  // A moved-from listing yields nothing.
  DirectoryListing(DirectoryListing&& other) noexcept
      : directory_(std::move(other.directory_)),
        search_(std::move(other.search_)),
        record_(other.record_),
        pending_(std::exchange(other.pending_, false)) {}
  DirectoryListing& operator=(DirectoryListing&& other) noexcept {
    directory_ = std::move(other.directory_);
    search_ = std::move(other.search_);
    record_ = other.record_;
    pending_ = std::exchange(other.pending_, false);
    return *this;
  }

  // The next item; nothing once the listing is over.
  [[nodiscard]] std::optional<ListingItem> next();

 private:
  // On the heap, so entries keep referring to it when the listing moves.
  std::unique_ptr<const Path> directory_;
  UniqueFind search_;
  WIN32_FIND_DATAW record_{};
  bool pending_ = false;  // record_ holds the first record, not yet yielded
};

// Opens a listing of `directory` (a search for "*" in it). An empty path is
// ERROR_PATH_NOT_FOUND; a search that finds nothing (ERROR_FILE_NOT_FOUND) is an empty listing;
// every other failure to open is returned.
[[nodiscard]] Result<DirectoryListing> list_directory(std::wstring_view directory);

// Deletes one file, or a link as the link. A read-only file refuses DeleteFileW with
// ERROR_ACCESS_DENIED; it is then deleted through a DELETE handle with the extended disposition
// that ignores the read-only attribute (Windows 10 1809, NTFS). On failure the error is always
// DeleteFileW's, never the second attempt's.
[[nodiscard]] Status remove_file(std::wstring_view path);

}  // namespace voxtrel
