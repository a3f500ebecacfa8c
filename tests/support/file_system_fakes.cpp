#include "tests/support/file_system_fakes.h"

#include <array>

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

}  // namespace voxtrel::testing
