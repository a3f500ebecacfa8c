// Fakes for the file-system call table: a test makes the platform answer as another Windows
// version or file system would, for the life of one scope.
#pragma once

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

}  // namespace voxtrel::testing
