// File queries. Every operation prepares its path first (so long paths work) and reports failure
// as a value; nothing here prints.
#pragma once

#include <string_view>

#include "system/error.h"
#include "system/file_system_calls.h"
#include "system/path.h"
#include "system/unique_handle.h"

namespace voxtrel {

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

}  // namespace voxtrel
