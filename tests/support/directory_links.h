// Real junctions and directory symbolic links, where the platform can make them; where it cannot,
// why not, for the test to skip with.
#pragma once

#include <string>

#include "system/path.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"

// After <windows.h>: the reparse-point control codes.
#include <winioctl.h>

namespace voxtrel::testing {

// Makes `link` a junction to `target` (an absolute path).
inline bool make_junction(const std::wstring& link, const std::wstring& target) {
  const std::wstring substitute = std::wstring(kNtObjectPrefix) + target;
  const std::wstring names = substitute + L'\0' + target + L'\0';
  // The mount-point record in 16-bit units: tag, data length, reserved, the offsets and lengths
  // of both names in bytes, then the names.
  std::wstring record{LOWORD(IO_REPARSE_TAG_MOUNT_POINT), HIWORD(IO_REPARSE_TAG_MOUNT_POINT)};
  for (const std::size_t units :
       {names.size() + 4, 0uz, 0uz, substitute.size(), substitute.size() + 1, target.size()}) {
    record += static_cast<wchar_t>(units * sizeof(wchar_t));
  }
  record += names;
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  const UniqueFile directory(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
  DWORD returned = 0;
  return directory && DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, record.data(),
                                      static_cast<DWORD>(record.size() * sizeof(wchar_t)), nullptr,
                                      0, &returned, nullptr);
}

// Makes `link` a junction or a directory symbolic link to `target`; on failure, why this
// platform cannot. Wine 8 and 10 can do neither: junctions fail with 50, and CreateSymbolicLinkW
// reports success without creating anything; FAT has no reparse points.
inline std::string make_directory_link(bool junction, const std::wstring& link,
                                       const std::wstring& target) {
  if (junction ? !make_junction(link, target)
               : !CreateSymbolicLinkW(
                     link.c_str(), target.c_str(),
                     SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    return std::string(junction ? "junctions" : "directory symbolic links (administrator?)") +
           " cannot be created here: error " + std::to_string(GetLastError());
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return "the platform reported a link created but made none";
  }
  return {};
}

}  // namespace voxtrel::testing
