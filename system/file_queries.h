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

// Whether the entry `path` names (links followed, as query_attributes follows them) is pending
// deletion: deleted while other handles to it stay open, it goes when the last one closes, which
// for a process that survived taskkill may be the next restart. Every open of such an entry
// answers STATUS_DELETE_PENDING, which CreateFileW turns into error 5 like any refusal, so this
// asks open_path (NtOpenFile on the path's NT form, "\??\C:\...", through the file-system call
// table). The open asks for attributes only and shares everything: it meets no sharing conflict
// and breaks no oplock. False when the open succeeds. Errors: InvalidInput for a NUL in the path;
// GetFullPathNameW's; ERROR_FILENAME_EXCED_RANGE (206) for a path longer than an NT name holds;
// every other failure of the open, as a Windows error code (Wine 8 and 10 never answer
// STATUS_DELETE_PENDING: they open such an entry as any other).
[[nodiscard]] Result<bool> deletion_pending(std::wstring_view path);

}  // namespace voxtrel
