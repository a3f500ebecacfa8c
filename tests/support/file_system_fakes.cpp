#include "tests/support/file_system_fakes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "system/unique_handle.h"

namespace voxtrel::testing {
namespace {

constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kKnownDispositionFlags =
    FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
    FILE_DISPOSITION_FLAG_FORCE_IMAGE_SECTION_CHECK | FILE_DISPOSITION_FLAG_ON_CLOSE |
    FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;
constexpr NTSTATUS kStatusReparsePointEncountered = static_cast<NTSTATUS>(0xC000050B);

BOOL fail_with(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Whether the directory at `path` (a full path) holds any entry.
bool has_entries(const std::wstring& path) {
  WIN32_FIND_DATAW data{};
  const UniqueFind search(FindFirstFileW((path + L"\\*").c_str(), &data));
  if (!search) return false;
  do {
    const std::wstring_view name = data.cFileName;
    if (name != L"." && name != L"..") return true;
  } while (FindNextFileW(search.get(), &data));
  return false;
}

bool set_attributes(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
}

// NTFS moves a name deleted with POSIX semantics out of its folder at once (into its hidden
// \$Extend\$Deleted); the file itself goes at the last close. Here: into the temporary
// directory, on the same volume as the scratch directories.
bool move_out_of_its_folder(HANDLE file) {
  static int moved = 0;
  std::array<wchar_t, MAX_PATH + 1> temp{};
  const std::wstring to = std::wstring(temp.data(), GetTempPathW(MAX_PATH, temp.data())) +
                          L"voxtrel-deleted-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(++moved);
  std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
  return ::SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size()));
}

// The deletion itself, through a handle of the fake's own: Wine refuses the classic disposition
// on a read-only file, so the attribute is lifted for the call and put back, as NTFS never
// changes it.
BOOL delete_as_ntfs(const std::wstring& path, DWORD attributes, bool posix) {
  const UniqueFile own(::CreateFileW(
      path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!own || (posix && !move_out_of_its_folder(own.get()))) return FALSE;
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only) set_attributes(own.get(), attributes & ~FILE_ATTRIBUTE_READONLY);
  FILE_DISPOSITION_INFO classic{TRUE};
  const BOOL deleted =
      ::SetFileInformationByHandle(own.get(), FileDispositionInfo, &classic, sizeof(classic));
  const DWORD error = GetLastError();
  if (read_only) set_attributes(own.get(), attributes);
  SetLastError(error);
  return deleted;
}

}  // namespace

BOOL WINAPI set_information_as_ntfs(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                    DWORD size) {
  if (info_class != kFileDispositionInfoEx) {
    return ::SetFileInformationByHandle(file, info_class, info, size);
  }
  if (size < sizeof(FILE_DISPOSITION_INFO_EX)) return fail_with(ERROR_BAD_LENGTH);
  const DWORD flags = static_cast<const FILE_DISPOSITION_INFO_EX*>(info)->Flags;
  if ((flags & ~kKnownDispositionFlags) != 0) return fail_with(ERROR_INVALID_PARAMETER);
  if ((flags & FILE_DISPOSITION_FLAG_DELETE) == 0) {
    FILE_DISPOSITION_INFO keep{FALSE};
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &keep, sizeof(keep));
  }
  // The handle may carry DELETE alone: the file is looked at through the path it names.
  std::array<wchar_t, 32768> final_path{};
  if (GetFinalPathNameByHandleW(file, final_path.data(), final_path.size(), 0) == 0) return FALSE;
  const std::wstring path = final_path.data();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (flags & FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE) == 0) {
    return fail_with(ERROR_ACCESS_DENIED);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && has_entries(path)) {
    return fail_with(ERROR_DIR_NOT_EMPTY);
  }
  return delete_as_ntfs(path, attributes, (flags & FILE_DISPOSITION_FLAG_POSIX_SEMANTICS) != 0);
}

namespace {

// The links FakeDirectoryLinks made, by the identity of their folders, and the table it
// replaced: what each fake passes the call on to.
struct Link {
  DWORD volume = 0;
  std::uint64_t file = 0;
  std::wstring target;
};
std::vector<Link> links;
FileSystemCalls next{};

const Link* link_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return nullptr;
  const std::uint64_t file = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  for (const Link& link : links) {
    if (link.volume == info.dwVolumeSerialNumber && link.file == file) return &link;
  }
  return nullptr;
}

// The link at `path`, looked at as itself.
const Link* link_at(LPCWSTR path) {
  const DWORD error = GetLastError();
  const UniqueFile probe(::CreateFileW(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                       OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
  const Link* link = probe ? link_of(probe.get()) : nullptr;
  SetLastError(error);
  return link;
}

// The link `object` names, looked at as itself.
const Link* link_named(POBJECT_ATTRIBUTES object) {
  OBJECT_ATTRIBUTES probe = *object;
  probe.Attributes &= ~OBJ_DONT_REPARSE;
  HANDLE raw = nullptr;
  IO_STATUS_BLOCK io{};
  if (!NT_SUCCESS(::NtOpenFile(&raw, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &probe, &io, kShareAll,
                               FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT))) {
    return nullptr;
  }
  const UniqueKernelHandle handle(raw);
  return link_of(raw);
}

NTSTATUS NTAPI open_with_links(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                               PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
  const Link* link = (options & FILE_OPEN_REPARSE_POINT) != 0 ? nullptr : link_named(object);
  if (link == nullptr) return next.open_file(handle, access, object, io, share, options);
  if ((object->Attributes & OBJ_DONT_REPARSE) != 0) return kStatusReparsePointEncountered;
  std::wstring nt_path = L"\\??\\" + link->target;
  UNICODE_STRING name{static_cast<USHORT>(nt_path.size() * sizeof(wchar_t)),
                      static_cast<USHORT>(nt_path.size() * sizeof(wchar_t)), nt_path.data()};
  OBJECT_ATTRIBUTES target{};
  InitializeObjectAttributes(&target, &name, object->Attributes, nullptr, nullptr);
  return next.open_file(handle, access, &target, io, share, options);
}

HANDLE WINAPI create_with_links(LPCWSTR path, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE model) {
  const Link* link = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 ? nullptr : link_at(path);
  return next.create_file(link != nullptr ? link->target.c_str() : path, access, share, security,
                          disposition, flags, model);
}

// The records of a directory listing that are links get the attribute and, where the platform
// puts it for a reparse point, the tag.
void mark_listed_links(HANDLE directory, LPVOID records) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(directory, &info)) return;
  auto* record = static_cast<FILE_ID_BOTH_DIR_INFO*>(records);
  for (;;) {
    for (const Link& link : links) {
      if (link.volume == info.dwVolumeSerialNumber &&
          link.file == static_cast<std::uint64_t>(record->FileId.QuadPart)) {
        record->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        record->EaSize = IO_REPARSE_TAG_MOUNT_POINT;
      }
    }
    if (record->NextEntryOffset == 0) return;
    record = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<std::byte*>(record) +
                                                      record->NextEntryOffset);
  }
}

BOOL WINAPI query_with_links(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                             DWORD size) {
  if (!next.get_information(file, info_class, info, size)) return FALSE;
  if (info_class == FileIdBothDirectoryInfo || info_class == FileIdBothDirectoryRestartInfo) {
    mark_listed_links(file, info);
  } else if (info_class == FileBasicInfo && link_of(file) != nullptr) {
    static_cast<FILE_BASIC_INFO*>(info)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  } else if (info_class == FileAttributeTagInfo && link_of(file) != nullptr) {
    *static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info) = {
        static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info)->FileAttributes | FILE_ATTRIBUTE_REPARSE_POINT,
        IO_REPARSE_TAG_MOUNT_POINT};
  }
  return TRUE;
}

BOOL WINAPI file_information_with_links(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  if (!next.get_file_information(file, info)) return FALSE;
  if (link_of(file) != nullptr) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return TRUE;
}

HANDLE WINAPI find_with_links(LPCWSTR name, FINDEX_INFO_LEVELS level, LPVOID data,
                              FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
  const HANDLE found = next.find_first_file(name, level, data, search, filter, flags);
  if (found != INVALID_HANDLE_VALUE && link_at(name) != nullptr) {
    static_cast<WIN32_FIND_DATAW*>(data)->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    static_cast<WIN32_FIND_DATAW*>(data)->dwReserved0 = IO_REPARSE_TAG_MOUNT_POINT;
  }
  return found;
}

}  // namespace

FakeDirectoryLinks::FakeDirectoryLinks() {
  links.clear();
  next = file_system_calls;
  file_system_calls = {.open_file = &open_with_links,
                       .create_file = &create_with_links,
                       .set_information = next.set_information,
                       .get_information = &query_with_links,
                       .get_file_information = &file_information_with_links,
                       .find_first_file = &find_with_links};
}

FakeDirectoryLinks::~FakeDirectoryLinks() {
  links.clear();
}

void FakeDirectoryLinks::add(const std::wstring& link, const std::wstring& target) {
  ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr)) << GetLastError();
  const UniqueFile folder(::CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(::GetFileInformationByHandle(folder.get(), &info));
  links.push_back(
      {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
       target});
}

}  // namespace voxtrel::testing
