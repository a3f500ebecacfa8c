#include "system/file_queries.h"

#include "system/directory_walk.h"
#include "system/file_system_calls.h"
#include "system/relative_open.h"

namespace voxtrel {
namespace {

enum class LinkMode { kFollow, kDontFollow };

// The entry as its parent's listing shows it, so it works where the entry cannot be opened. The
// parent is opened under the walks' rules: a user holding it cannot make this wait.
Result<FileAttributes> attributes_from_listing(const std::wstring& prepared) {
  auto listed = listed_entry(prepared);
  if (!listed) return std::unexpected(listed.error());
  if (!*listed) return fail_os(ERROR_FILE_NOT_FOUND);
  return FileAttributes{(*listed)->attributes, (*listed)->reparse_tag};
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

// An open for attributes only meets no share mode, and breaks no oplock ("Checking the Oplock
// State of an IRP_MJ_CREATE Operation", Windows driver documentation).
Result<bool> deletion_pending(std::wstring_view path) {
  return deletion_pending_from(open_path(path, FILE_READ_ATTRIBUTES, 0, LinkHandling::kFollow));
}

}  // namespace voxtrel
