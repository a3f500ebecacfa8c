// Fakes for the file-system call table: a test makes the platform answer as another Windows
// version or file system would, for the life of one scope.
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

// SetFileInformationByHandle as NTFS on Windows 10 1809 and later answers it: the extended
// disposition (class 21) is accepted, deletes a read-only file only with
// FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE and refuses it with ERROR_ACCESS_DENIED
// without. Every other class goes to the platform.
BOOL WINAPI set_information_as_ntfs(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                    DWORD size);

// What the directory query answers, through the table, for any batch that lists a record named
// `name`: the platform's own batch, with that record changed as a link, another file system or a
// network server could give it. Every other query goes to the platform unchanged.
enum class ListingChange : std::uint8_t {
  kAsDirectoryLink,    // the record is a directory symbolic link (0x410, tag in EaSize)
  kNameless,           // the record's name length is 0
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

}  // namespace voxtrel::testing
