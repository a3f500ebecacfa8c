#include "system/tree_removal.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "system/file_ops.h"
#include "system/path.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
// After <windows.h>: NtOpenFile, RtlNtStatusToDosError and their records, served by ntdll.
#include <winternl.h>

namespace voxtrel {
namespace {

constexpr NTSTATUS kStatusPending = 0x00000103;
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);

constexpr ACCESS_MASK kDeleteAccess = DELETE;
constexpr ACCESS_MASK kListAccess = SYNCHRONIZE | FILE_LIST_DIRECTORY;
// A listed directory link is opened so that its attributes can be read back (see
// followed_a_link).
constexpr ACCESS_MASK kListLinkAccess = kListAccess | FILE_READ_ATTRIBUTES;
constexpr ULONG kNoOptions = 0;
constexpr ULONG kListOptions = FILE_SYNCHRONOUS_IO_NONALERT;
constexpr DWORD kTopOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// The header declares this class only for a target version above Windows 10's first release.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
// Extended disposition: delete now (POSIX semantics, the name goes at once) and override the
// read-only attribute. Refused by file systems other than NTFS and before Windows 10 1809.
constexpr DWORD kExtendedDispositionFlags = FILE_DISPOSITION_FLAG_DELETE |
                                            FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                            FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;

// The empty name: with a parent handle it names the parent's own directory.
constinit wchar_t kEmptyName[1] = {L'\0'};

// Only the tree removal reads and changes it, always from the thread that runs it.
constinit ULONG relative_open_attribute_value = OBJ_DONT_REPARSE;

// The one place an NT status becomes a Windows error code. STATUS_DELETE_PENDING is taken as
// ERROR_DELETE_PENDING: RtlNtStatusToDosError would make it ERROR_ACCESS_DENIED.
DWORD error_code_from_status(NTSTATUS status) noexcept {
  if (status == kStatusDeletePending) return ERROR_DELETE_PENDING;
  return RtlNtStatusToDosError(status);
}

// The codes that say the entry is no longer there: removed by someone else (2, 3, or the network
// equivalents 53 and 67), or already marked for deletion (303).
bool is_gone_code(DWORD code) noexcept {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME || code == ERROR_DELETE_PENDING;
}

// Opens `name` under `parent` as itself (never through a reparse point), shared for everything.
NTSTATUS open_relative_once(HANDLE parent, std::wstring_view name, ACCESS_MASK access,
                            ULONG options, ULONG attributes, HANDLE* opened) noexcept {
  UNICODE_STRING object_name{};
  if (name.empty()) {
    object_name.MaximumLength = sizeof(wchar_t);
    object_name.Buffer = kEmptyName;
  } else {
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    object_name.Buffer = const_cast<wchar_t*>(name.data());
  }
  OBJECT_ATTRIBUTES object{};
  object.Length = sizeof(object);
  object.RootDirectory = parent;
  object.ObjectName = &object_name;
  object.Attributes = attributes;
  IO_STATUS_BLOCK io{};
  io.Status = kStatusPending;
  io.Information = 0;
  return NtOpenFile(opened, access, &object, &io, kShareAll, options | FILE_OPEN_REPARSE_POINT);
}

// The entry's handle; an empty handle when the entry is gone. Errors: every other open failure,
// converted to a Windows error code. Platforms that reject OBJ_DONT_REPARSE (87) lose it for the
// rest of the process after one repeat without it.
Result<UniqueKernelHandle> open_relative(HANDLE parent, std::wstring_view name, ACCESS_MASK access,
                                         ULONG options) {
  HANDLE opened = nullptr;
  NTSTATUS status =
      open_relative_once(parent, name, access, options, relative_open_attribute_value, &opened);
  if (NT_SUCCESS(status)) return UniqueKernelHandle(opened);
  DWORD code = error_code_from_status(status);
  if (code == ERROR_INVALID_PARAMETER && relative_open_attribute_value == OBJ_DONT_REPARSE) {
    relative_open_attribute_value = 0;
    status = open_relative_once(parent, name, access, options, 0, &opened);
    if (NT_SUCCESS(status)) return UniqueKernelHandle(opened);
    code = error_code_from_status(status);
  }
  if (is_gone_code(code)) return UniqueKernelHandle();
  return fail_os(code);
}

// Deletes `name` under `parent`; the empty name deletes the parent's own directory. A gone entry
// is success. Errors: the open's, or the disposition's. The classic disposition, tried where the
// extended one is refused, does not override the read-only attribute (5 for a read-only file).
Status delete_entry(HANDLE parent, std::wstring_view name) {
  auto opened = open_relative(parent, name, kDeleteAccess, kNoOptions);
  if (!opened) return std::unexpected(opened.error());
  if (!*opened) return {};
  FILE_DISPOSITION_INFO_EX extended{kExtendedDispositionFlags};
  if (SetFileInformationByHandle(opened->get(), kFileDispositionInfoEx, &extended,
                                 sizeof(extended))) {
    return {};
  }
  const DWORD extended_error = GetLastError();
  if (extended_error != ERROR_INVALID_FUNCTION && extended_error != ERROR_INVALID_PARAMETER &&
      extended_error != ERROR_NOT_SUPPORTED) {
    return fail_os(extended_error);
  }
  FILE_DISPOSITION_INFO classic{TRUE};
  if (SetFileInformationByHandle(opened->get(), FileDispositionInfo, &classic, sizeof(classic))) {
    return {};
  }
  return fail_os(GetLastError());
}

// delete_entry, repeated while it fails with `waited_code`, at most kMaxDeleteAttempts times.
// Between attempts the thread only yields: a holder about to close needs the processor, not time.
Status delete_entry_with_retries(HANDLE parent, std::wstring_view name, DWORD waited_code) {
  for (int attempt = 1;; ++attempt) {
    Status outcome = delete_entry(parent, name);
    if (outcome || attempt == kMaxDeleteAttempts || !outcome.error().is_os(waited_code)) {
      return outcome;
    }
    SwitchToThread();
  }
}

// Whether `opened` is not what the listing showed: the listing reports a reparse point (a link,
// for a directory) but the handle, although opened as itself, lacks the attribute. Wine 8 opens
// the target of its Unix symbolic links whatever the flags say; walking such a handle would
// delete the target's content, and deleting it would delete the target itself. On Windows a
// handle opened as itself always carries the attribute, so this never fires there.
Result<bool> followed_a_link(HANDLE opened, DWORD listed_attributes) {
  if ((listed_attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(opened, FileBasicInfo, &basic, sizeof(basic))) {
    return fail_os(GetLastError());
  }
  return (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// A subdirectory of `parent` opened as itself for listing; an empty handle when it is gone.
// Errors: the open's, and ERROR_NOT_SUPPORTED (50) for a link the platform would only follow.
Result<UniqueKernelHandle> open_subdirectory(HANDLE parent, std::wstring_view name,
                                             DWORD listed_attributes) {
  const bool reparse = (listed_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  auto child = open_relative(parent, name, reparse ? kListLinkAccess : kListAccess, kListOptions);
  if (!child || !*child || !reparse) return child;
  auto followed = followed_a_link(child->get(), listed_attributes);
  if (!followed) return std::unexpected(followed.error());
  if (*followed) return fail_os(ERROR_NOT_SUPPORTED);
  return child;
}

// One record of a directory batch. The fields are copied out, so the name's alignment and the
// record's placement in the buffer do not matter.
struct DirectoryRecord {
  DWORD next_entry_offset = 0;
  DWORD attributes = 0;
  std::wstring_view name;
};

// The walk of one tree: the batch buffer, the stack of open directories and the restart flag.
class TreeWalk {
 public:
  TreeWalk(UniqueKernelHandle top, WalkProgress* progress) : progress_(progress) {
    stack_.push_back(std::move(top));
  }

  Status run();

 private:
  enum class Batch : std::uint8_t { kFilled, kEnd };

  Result<Batch> read_batch(HANDLE directory);
  DirectoryRecord read_record(std::size_t offset);
  Result<UniqueKernelHandle> walk_batch(HANDLE directory);
  void count_deleted();

  alignas(8) std::array<std::byte, kDirectoryBatchBytes> buffer_{};
  std::array<wchar_t, kDirectoryBatchBytes / sizeof(wchar_t)> name_{};
  // Bottom to top: the tree's top, then each directory the walk has descended into, every one a
  // child of the one below it. The stack owns them: leaving run() closes whatever remains.
  std::vector<UniqueKernelHandle> stack_;
  bool restart_ = true;
  WalkProgress* progress_;
  std::uint64_t unreported_ = 0;  // deleted since the last report
};

void TreeWalk::count_deleted() {
  if (progress_ == nullptr || ++unreported_ < kProgressInterval) return;
  progress_->advance(unreported_);
  unreported_ = 0;
}

// The next batch of `directory`'s listing, from its beginning when the restart flag is set.
Result<TreeWalk::Batch> TreeWalk::read_batch(HANDLE directory) {
  const FILE_INFO_BY_HANDLE_CLASS query =
      restart_ ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
  if (GetFileInformationByHandleEx(directory, query, buffer_.data(),
                                   static_cast<DWORD>(buffer_.size()))) {
    return Batch::kFilled;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_NO_MORE_FILES) return Batch::kEnd;
  return fail_os(error);
}

DirectoryRecord TreeWalk::read_record(std::size_t offset) {
  const std::byte* record = buffer_.data() + offset;
  DirectoryRecord result;
  DWORD name_bytes = 0;
  std::memcpy(&result.next_entry_offset, record + offsetof(FILE_ID_BOTH_DIR_INFO, NextEntryOffset),
              sizeof(DWORD));
  std::memcpy(&result.attributes, record + offsetof(FILE_ID_BOTH_DIR_INFO, FileAttributes),
              sizeof(DWORD));
  std::memcpy(&name_bytes, record + offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength), sizeof(DWORD));
  // A record never reaches past the batch; the bound only keeps a faulty one inside the buffer.
  const std::size_t name_offset = offset + offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
  const std::size_t units =
      std::min<std::size_t>(name_bytes, buffer_.size() - std::min(name_offset, buffer_.size())) /
      sizeof(wchar_t);
  std::memcpy(name_.data(), buffer_.data() + name_offset, units * sizeof(wchar_t));
  result.name = std::wstring_view(name_.data(), units);
  return result;
}

// Deletes the batch's files and links to files, up to its first directory, which it opens and
// returns; an empty handle when the whole batch is done. Directory links are opened as
// themselves, so their listing is their own (empty) one, never their target's.
Result<UniqueKernelHandle> TreeWalk::walk_batch(HANDLE directory) {
  for (std::size_t offset = 0;;) {
    const DirectoryRecord record = read_record(offset);
    if (record.name != L"." && record.name != L"..") {
      if ((record.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        auto child = open_subdirectory(directory, record.name, record.attributes);
        if (!child || *child) return child;
      } else {
        auto deleted = delete_entry_with_retries(directory, record.name, ERROR_SHARING_VIOLATION);
        if (!deleted) return std::unexpected(deleted.error());
        count_deleted();
      }
    }
    if (record.next_entry_offset == 0) return UniqueKernelHandle();
    offset += record.next_entry_offset;
  }
}

Status TreeWalk::run() {
  while (!stack_.empty()) {
    UniqueKernelHandle directory = std::move(stack_.back());
    stack_.pop_back();
    auto batch = read_batch(directory.get());
    if (!batch) return std::unexpected(batch.error());
    if (*batch == Batch::kFilled) {
      auto child = walk_batch(directory.get());
      if (!child) return std::unexpected(child.error());
      stack_.push_back(std::move(directory));
      if (*child) {
        stack_.push_back(std::move(*child));
      } else {
        restart_ = false;
      }
      continue;
    }
    if (auto deleted = delete_entry_with_retries(directory.get(), {}, ERROR_DIR_NOT_EMPTY);
        !deleted) {
      return deleted;
    }
    directory.reset();
    count_deleted();
    // The parent's listing starts over: what it held when last read may have changed.
    restart_ = true;
  }
  return {};
}

// The attributes the parent's listing shows for the entry at `prepared`; nothing when the path
// names no listed entry (a root, or a path ending in a separator).
std::optional<DWORD> listed_attributes(const std::wstring& prepared) {
  WIN32_FIND_DATAW data{};
  const UniqueFind search(FindFirstFileExW(prepared.c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0));
  if (!search) return std::nullopt;
  return data.dwFileAttributes;
}

// The top, opened as itself for listing; a link is not followed. Errors: the open's;
// ERROR_DIRECTORY (267) for anything but a directory; ERROR_NOT_SUPPORTED (50) for a link the
// platform would only follow.
Result<UniqueKernelHandle> open_top(std::wstring_view path) {
  auto prepared = prepare_path(path);
  if (!prepared) return std::unexpected(prepared.error());
  UniqueFile top(CreateFileW(prepared->c_str(), FILE_LIST_DIRECTORY, kShareAll, nullptr,
                             OPEN_EXISTING, kTopOpenFlags, nullptr));
  if (!top) return fail_os(GetLastError());
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(top.get(), FileBasicInfo, &basic, sizeof(basic))) {
    return fail_os(GetLastError());
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return fail_os(ERROR_DIRECTORY);
  if (const auto listed = listed_attributes(*prepared)) {
    auto followed = followed_a_link(top.get(), *listed);
    if (!followed) return std::unexpected(followed.error());
    if (*followed) return fail_os(ERROR_NOT_SUPPORTED);
  }
  return UniqueKernelHandle(top.release());
}

}  // namespace

Status remove_tree(std::wstring_view path, WalkProgress* progress) {
  auto top = open_top(path);
  if (!top) return std::unexpected(top.error());
  // Large (about 2 KB) and used once per call: on the heap, not the caller's stack.
  auto walk = std::make_unique<TreeWalk>(std::move(*top), progress);
  return walk->run();
}

std::uint32_t relative_open_attribute() noexcept {
  return relative_open_attribute_value;
}

}  // namespace voxtrel
