// The file-system calls of the tree walks and the file queries. They are made through this one
// table so that a test can have the platform answer as another Windows version or file system
// would (a delete-pending entry, an accepted extended disposition, a holder that lets go); the
// tool itself never changes it.
#pragma once

#include "system/windows_api.h"
// After <windows.h>: NtOpenFile and its records, served by ntdll.
#include <winternl.h>

// Served by ntdll; the MinGW headers do not declare it.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                               PVOID apc_context, PIO_STATUS_BLOCK io, PVOID buffer,
                                               ULONG length,
                                               FILE_INFORMATION_CLASS information_class,
                                               BOOLEAN single_entry, PUNICODE_STRING file_name,
                                               BOOLEAN restart_scan);

namespace voxtrel {

// Every open of the tool lets others read, write and delete meanwhile.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct FileSystemCalls {
  decltype(&::NtOpenFile) open_file;
  decltype(&::CreateFileW) create_file;
  decltype(&::SetFileInformationByHandle) set_information;
  decltype(&::GetFileInformationByHandleEx) get_information;
  decltype(&::GetFileInformationByHandle) get_file_information;
  decltype(&::NtQueryDirectoryFile) query_directory;
  decltype(&::DeviceIoControl) device_control;
};

// The platform's own functions.
extern FileSystemCalls file_system_calls;

}  // namespace voxtrel
