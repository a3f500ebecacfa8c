#include "system/file_ops.h"

#include <cwchar>

#include "system/file_system_calls.h"

namespace voxtrel {
namespace {

constexpr std::wstring_view kEverything = L"*";
// FileDispositionInfoEx (Windows 10 1607). MinGW-w64 declares it only behind a version test
// that no _WIN32_WINNT value passes, so its value is spelled here.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
// FILE_DISPOSITION_FLAG_DELETE | _POSIX_SEMANTICS | _IGNORE_READONLY_ATTRIBUTE: the name goes at
// once and the read-only attribute does not stop it (Windows 10 1809).
constexpr DWORD kForcedDispositionFlags = FILE_DISPOSITION_FLAG_DELETE |
                                          FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                          FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;

enum class LinkMode { kFollow, kDontFollow };

// A directory search on the path itself: it reads the entry from its parent's listing, so it
// works where the entry cannot be opened.
Result<FileAttributes> attributes_from_listing(const std::wstring& prepared) {
  WIN32_FIND_DATAW data{};
  const UniqueFind search(file_system_calls.find_first_file(
      prepared.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (!search) return fail_os(GetLastError());
  const bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return FileAttributes{data.dwFileAttributes, reparse ? data.dwReserved0 : 0};
}

Result<FileAttributes> attributes_from_handle(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file_system_calls.get_file_information(file, &info)) return fail_os(GetLastError());
  FileAttributes entry{info.dwFileAttributes, 0};
  if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!file_system_calls.get_information(file, FileAttributeTagInfo, &tag, sizeof(tag))) {
      return fail_os(GetLastError());
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      entry.reparse_tag = tag.ReparseTag;
  }
  return entry;
}

Result<FileAttributes> basic_query(const std::wstring& prepared, LinkMode mode) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (mode == LinkMode::kDontFollow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  const UniqueFile file(file_system_calls.create_file(prepared.c_str(), 0, kShareAll, nullptr,
                                                      OPEN_EXISTING, flags, nullptr));
  if (file) return attributes_from_handle(file.get());
  const DWORD open_error = GetLastError();
  if (open_error != ERROR_ACCESS_DENIED && open_error != ERROR_SHARING_VIOLATION) {
    return fail_os(open_error);
  }
  auto listed = attributes_from_listing(prepared);
  // Following mode cannot report a link it could not follow: the open's error stands.
  if (!listed || (mode == LinkMode::kFollow && is_link(*listed))) return fail_os(open_error);
  return listed;
}

// cFileName up to its first NUL unit; the whole field when it holds none.
std::wstring_view record_name(const WIN32_FIND_DATAW& record) noexcept {
  return std::wstring_view(record.cFileName, wcsnlen(record.cFileName, MAX_PATH));
}

// The second attempt for a read-only file: a DELETE handle on the entry itself (never its link
// target), marked for deletion regardless of the read-only attribute.
bool delete_ignoring_read_only(const std::wstring& prepared) {
  const UniqueFile file(CreateFileW(prepared.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return false;
  FILE_DISPOSITION_INFO_EX disposition{kForcedDispositionFlags};
  return SetFileInformationByHandle(file.get(), kFileDispositionInfoEx, &disposition,
                                    sizeof(disposition)) != 0;
}

}  // namespace

Result<FileAttributes> query_attributes(std::wstring_view path) {
  auto prepared = prepare_path(path);
  if (!prepared) return std::unexpected(prepared.error());
  auto followed = basic_query(*prepared, LinkMode::kFollow);
  if (followed || !followed.error().is_os(ERROR_CANT_ACCESS_FILE)) return followed;
  // 1920: the entry's own reparse point cannot be followed (an app-execution alias, say).
  auto itself = basic_query(*prepared, LinkMode::kDontFollow);
  if (itself && !is_link(*itself)) return itself;
  return followed;
}

bool path_exists(std::wstring_view path) {
  return query_attributes(path).has_value();
}

std::wstring_view DirectoryEntry::name() const noexcept {
  return record_name(record_);
}

std::optional<ListingItem> DirectoryListing::next() {
  for (;;) {
    if (pending_) {
      pending_ = false;
    } else if (!search_) {
      return std::nullopt;
    } else if (!FindNextFileW(search_.get(), &record_)) {
      const DWORD error = GetLastError();
      search_.reset();
      if (error == ERROR_NO_MORE_FILES) return std::nullopt;
      return ListingItem(fail_os(error));
    }
    const std::wstring_view name = record_name(record_);
    if (name == L"." || name == L"..") continue;
    return ListingItem(DirectoryEntry(record_, *directory_));
  }
}

Result<DirectoryListing> list_directory(std::wstring_view directory) {
  if (directory.empty()) return fail_os(ERROR_PATH_NOT_FOUND);
  auto pattern = prepare_path(join_path(directory, kEverything));
  if (!pattern) return std::unexpected(pattern.error());
  WIN32_FIND_DATAW first{};
  UniqueFind search(FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &first,
                                     FindExSearchNameMatch, nullptr, 0));
  if (search) return DirectoryListing(directory, std::move(search), first);
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) return DirectoryListing(directory);
  return fail_os(error);
}

Status remove_file(std::wstring_view path) {
  auto prepared = prepare_path(path);
  if (!prepared) return std::unexpected(prepared.error());
  if (DeleteFileW(prepared->c_str())) return {};
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED && delete_ignoring_read_only(*prepared)) return {};
  return fail_os(error);
}

}  // namespace voxtrel
