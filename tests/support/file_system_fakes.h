// Fakes for the file-system call table: a test makes the platform answer as another Windows
// version or file system would, for the life of one scope. Each fake answers only what Windows
// itself answers to that call.
#pragma once

#include <cstdint>
#include <string>

#include "system/file_system_calls.h"

namespace voxtrel::testing {

// Puts the table back as it was when the scope ends.
class ScopedFileSystemCalls {
 public:
  ScopedFileSystemCalls() : saved_(file_system_calls) {}
  ~ScopedFileSystemCalls() { file_system_calls = saved_; }
  ScopedFileSystemCalls(const ScopedFileSystemCalls&) = delete;
  ScopedFileSystemCalls& operator=(const ScopedFileSystemCalls&) = delete;

 private:
  FileSystemCalls saved_;
};

// SetFileInformationByHandle as NTFS on Windows 10 1809 and later answers the extended
// disposition (class 21): a buffer shorter than FILE_DISPOSITION_INFO_EX fails with 24
// (STATUS_INFO_LENGTH_MISMATCH), an unknown flag bit with 87; a read-only file is refused (5)
// unless the ignore-read-only flag is set, and then goes with its attributes untouched; a
// directory with entries is refused (145). With POSIX semantics the name goes at once, even
// while others hold the file open; without, at the last close. Other classes go to the platform.
BOOL WINAPI set_information_as_ntfs(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                    DWORD size);

// What the directory query answers, through the table, for any batch that lists a record named
// `name`: the platform's own batch, with that record changed as a link, another file system or a
// network server could give it. Every other query goes to the platform unchanged.
enum class ListingChange : std::uint8_t {
  kAsDirectoryLink,    // the record is a directory symbolic link (0x410, tag in EaSize)
  kFirstReachesPast,   // the batch's first record is its last and claims a name longer than it
  kFirstPointsPast,    // the batch's first record puts the next one past the batch's end
};
struct ListingRewrite {
  std::wstring name;
  ListingChange change = ListingChange::kAsDirectoryLink;
};
inline ListingRewrite listing_rewrite;
BOOL WINAPI get_information_rewriting_listing(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                              LPVOID info, DWORD size);

// NtOpenFile, through the table, as Windows answers it while another process holds a batch oplock
// on every entry named `name` and never acknowledges a break. An open that breaks it (any access
// beyond attributes and SYNCHRONIZE) with FILE_COMPLETE_IF_OPLOCKED succeeds at once with
// STATUS_OPLOCK_BREAK_IN_PROGRESS (0x108) and a real handle; without that option Windows would
// wait for ever: the open is counted in `waits` and then let through, so that the test ends.
struct OplockHolder {
  std::wstring name;
  int breaks = 0;
  int waits = 0;
};
inline OplockHolder oplock_holder;
NTSTATUS NTAPI open_file_under_oplock(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                      PIO_STATUS_BLOCK io, ULONG share, ULONG options);

// Directory links as Windows shows them, which Wine cannot make (it opens a Unix link's target
// even when asked for the link): an empty folder whose listing record and attributes carry
// FILE_ATTRIBUTE_REPARSE_POINT (tag: a junction's), opened as itself only with
// FILE_OPEN_REPARSE_POINT and as its target otherwise (with OBJ_DONT_REPARSE, refused with
// STATUS_REPARSE_POINT_ENCOUNTERED). For the object's life, over what the table held.
class FakeDirectoryLinks {
 public:
  FakeDirectoryLinks();
  // Creates the folder `link` as a link to the folder `target` (both full paths).
  void add(const std::wstring& link, const std::wstring& target);

 private:
  ScopedFileSystemCalls restore_;
};

}  // namespace voxtrel::testing
