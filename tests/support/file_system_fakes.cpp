#include "tests/support/file_system_fakes.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace voxtrel::testing {
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

BOOL WINAPI set_information_as_ntfs(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                    DWORD size) {
  if (info_class != kFileDispositionInfoEx) {
    return ::SetFileInformationByHandle(file, info_class, info, size);
  }
  const DWORD flags = static_cast<const FILE_DISPOSITION_INFO_EX*>(info)->Flags;
  // The handle may carry DELETE alone: the attribute is changed through the path it names.
  std::array<wchar_t, 32768> path{};
  if (GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), 0) == 0) {
    return FALSE;
  }
  const DWORD attributes = GetFileAttributesW(path.data());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    if ((flags & FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE) == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    SetFileAttributesW(path.data(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  FILE_DISPOSITION_INFO classic{(flags & FILE_DISPOSITION_FLAG_DELETE) != 0};
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &classic, sizeof(classic));
}

BOOL WINAPI get_information_rewriting_listing(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                              LPVOID info, DWORD size) {
  if (!::GetFileInformationByHandleEx(file, info_class, info, size)) return FALSE;
  if (info_class != FileIdBothDirectoryInfo && info_class != FileIdBothDirectoryRestartInfo) {
    return TRUE;
  }
  auto* const batch = static_cast<std::byte*>(info);
  for (std::size_t offset = 0;;) {
    auto* record = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch + offset);
    const std::wstring_view name(record->FileName, record->FileNameLength / sizeof(wchar_t));
    if (name == listing_rewrite.name) {
      switch (listing_rewrite.change) {
        case ListingChange::kAsDirectoryLink:
          record->FileAttributes |= FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
          record->EaSize = IO_REPARSE_TAG_SYMLINK;
          break;
        case ListingChange::kNameless:
          record->FileNameLength = 0;
          break;
        case ListingChange::kFirstPointsPast:
          reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch)->NextEntryOffset = size;
          break;
        case ListingChange::kFirstReachesPast:
          reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch)->NextEntryOffset = 0;
          reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(batch)->FileNameLength = size;
          break;
      }
      return TRUE;
    }
    if (record->NextEntryOffset == 0) return TRUE;
    offset += record->NextEntryOffset;
  }
}

NTSTATUS NTAPI open_file_under_oplock(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                      PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
  constexpr ACCESS_MASK kNoBreak = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
  constexpr NTSTATUS kStatusOplockBreakInProgress = 0x00000108;
  const NTSTATUS status = ::NtOpenFile(handle, access, object, io, share, options);
  const std::wstring_view name(object->ObjectName->Buffer,
                               object->ObjectName->Length / sizeof(wchar_t));
  if (!NT_SUCCESS(status) || name != oplock_holder.name || (access & ~kNoBreak) == 0) {
    return status;
  }
  if ((options & FILE_COMPLETE_IF_OPLOCKED) == 0) {
    ++oplock_holder.waits;
    return status;
  }
  ++oplock_holder.breaks;
  io->Status = kStatusOplockBreakInProgress;
  return kStatusOplockBreakInProgress;
}

}  // namespace voxtrel::testing
