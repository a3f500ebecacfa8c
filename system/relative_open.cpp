#include "system/relative_open.h"

#include "system/file_system_calls.h"
#include "system/holder_wait.h"
#include "system/path.h"

// After <windows.h>: FSCTL_OPLOCK_BREAK_NOTIFY.
#include <winioctl.h>

namespace voxtrel {
namespace {

constexpr NTSTATUS kStatusPending = 0x00000103;
// A success status: the open went through, but it broke another handle's oplock, whose holder
// has not acknowledged the break yet.
constexpr NTSTATUS kStatusOplockBreakInProgress = 0x00000108;
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);

// Every open: synchronous, so that a wait on the handle can be cancelled from the waiting side
// (CancelSynchronousIo), and never waiting on an oplock.
constexpr ACCESS_MASK kOpenAccess = SYNCHRONIZE;
constexpr ULONG kOpenOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED;
// A top opened by its path, as CreateFileW opens one with FILE_FLAG_BACKUP_SEMANTICS: names
// compared without regard to case.
constexpr ULONG kPathOptions = FILE_OPEN_FOR_BACKUP_INTENT;

// The header declares this class only for a target version above Windows 10's first release.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
// Extended disposition: delete now (POSIX semantics, the name goes at once) and override the
// read-only attribute. Refused by file systems other than NTFS and before Windows 10 1809.
constexpr DWORD kExtendedDispositionFlags = FILE_DISPOSITION_FLAG_DELETE |
                                            FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                            FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;

// The longest name an object name (a UNICODE_STRING, its length in bytes) holds.
constexpr std::size_t kMaxObjectNameUnits = 0xFFFE / sizeof(wchar_t);

// The empty name: with a parent handle it names the parent's own directory.
constinit wchar_t kEmptyName[1] = {L'\0'};

// Only the walks read and change it, always from the thread that runs them.
constinit ULONG relative_open_attribute_value = OBJ_DONT_REPARSE;

// The one place an NT status becomes a Windows error code. STATUS_DELETE_PENDING is taken as
// ERROR_DELETE_PENDING: RtlNtStatusToDosError would make it ERROR_ACCESS_DENIED.
DWORD error_code_from_status(NTSTATUS status) noexcept {
  if (status == kStatusDeletePending) return ERROR_DELETE_PENDING;
  return RtlNtStatusToDosError(status);
}

UNICODE_STRING counted(std::wstring_view name) noexcept {
  UNICODE_STRING text{};
  if (name.empty()) {
    text.MaximumLength = sizeof(wchar_t);
    text.Buffer = kEmptyName;
  } else {
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    text.Buffer = const_cast<wchar_t*>(name.data());
  }
  return text;
}

NTSTATUS open_once(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG options,
                   ULONG attributes, HANDLE* opened) noexcept {
  UNICODE_STRING object_name = counted(name);
  OBJECT_ATTRIBUTES object{};
  object.Length = sizeof(object);
  object.RootDirectory = root;
  object.ObjectName = &object_name;
  object.Attributes = attributes;
  IO_STATUS_BLOCK io{};
  io.Status = kStatusPending;
  io.Information = 0;
  return file_system_calls.open_file(opened, access | kOpenAccess, &object, &io, kShareAll,
                                     options | kOpenOptions);
}

// After an open that broke another handle's oplock: whether the break completed within the
// bound, its holder having acknowledged it (FSCTL_OPLOCK_BREAK_NOTIFY completes then). With the
// budget spent nothing is waited for.
bool break_completed(HANDLE opened) {
  if (holder_wait_budget().spent()) return false;
  BOOL completed = FALSE;
  const WatchedCall call = watched_call([&] {
    DWORD returned = 0;
    completed = file_system_calls.device_control(opened, FSCTL_OPLOCK_BREAK_NOTIFY, nullptr, 0,
                                                 nullptr, 0, &returned, nullptr);
  });
  return completed && !call.cancelled;
}

// The outcome of an open, whatever its root: the handle, or the Windows error code. A handle that
// came back while another handle's oplock breaks is kept once the break is done, and closed as
// held (32) when it is not done in time.
Result<UniqueKernelHandle> opened_or_error(NTSTATUS status, HANDLE opened) {
  if (status == kStatusOplockBreakInProgress) {
    UniqueKernelHandle handle(opened);
    if (!break_completed(handle.get())) return fail_os(ERROR_SHARING_VIOLATION);
    return handle;
  }
  if (NT_SUCCESS(status)) return UniqueKernelHandle(opened);
  return fail_os(error_code_from_status(status));
}

// With `links` kFollow, the platform follows a reparse point at the name; kOpenItself opens it as
// itself (FILE_OPEN_REPARSE_POINT).
ULONG link_options(LinkHandling links) noexcept {
  return links == LinkHandling::kOpenItself ? FILE_OPEN_REPARSE_POINT : 0;
}

}  // namespace

// Opened as itself, the name's own reparse point is not followed (FILE_OPEN_REPARSE_POINT), and
// with OBJ_DONT_REPARSE no reparse point anywhere on the way is either. Followed, neither is set:
// OBJ_DONT_REPARSE would refuse the link.
Result<UniqueKernelHandle> open_relative(HANDLE parent, std::wstring_view name, ACCESS_MASK access,
                                         ULONG options, LinkHandling links) {
  auto handle = open_relative_as_answered(parent, name, access, options, links);
  if (!handle && is_entry_gone(handle.error())) return UniqueKernelHandle();
  return handle;
}

Result<UniqueKernelHandle> open_relative_as_answered(HANDLE parent, std::wstring_view name,
                                                     ACCESS_MASK access, ULONG options,
                                                     LinkHandling links) {
  options |= link_options(links);
  const ULONG attributes = links == LinkHandling::kOpenItself ? relative_open_attribute_value : 0;
  HANDLE opened = nullptr;
  NTSTATUS status = open_once(parent, name, access, options, attributes, &opened);
  if (!NT_SUCCESS(status) && attributes == OBJ_DONT_REPARSE &&
      error_code_from_status(status) == ERROR_INVALID_PARAMETER) {
    relative_open_attribute_value = 0;
    status = open_once(parent, name, access, options, 0, &opened);
  }
  return opened_or_error(status, opened);
}

// The path's own object-manager links (the drive letter is one) must be followed, so it carries
// no OBJ_DONT_REPARSE; only its last component is opened as itself when asked.
Result<UniqueKernelHandle> open_path(std::wstring_view path, ACCESS_MASK access, ULONG options,
                                     LinkHandling links) {
  auto name = nt_path(path);
  if (!name) return std::unexpected(name.error());
  if (name->size() > kMaxObjectNameUnits) return fail_os(ERROR_FILENAME_EXCED_RANGE);
  HANDLE opened = nullptr;
  const NTSTATUS status =
      open_once(nullptr, *name, access, options | kPathOptions | link_options(links),
                OBJ_CASE_INSENSITIVE, &opened);
  return opened_or_error(status, opened);
}

// Setting the disposition breaks another handle's handle-caching oplock, and waits until its
// holder acknowledges the break; so it is made under the holder-wait bound.
Status delete_opened(HANDLE opened, bool* extended_refused) {
  FILE_DISPOSITION_INFO_EX extended{kExtendedDispositionFlags};
  BOOL deleted = FALSE;
  DWORD error = ERROR_SUCCESS;
  auto call = watched_call([&] {
    deleted = file_system_calls.set_information(opened, kFileDispositionInfoEx, &extended,
                                                sizeof(extended));
    error = deleted ? ERROR_SUCCESS : GetLastError();
  });
  if (!deleted && call.cancelled) return fail_os(ERROR_SHARING_VIOLATION);
  if (deleted) return {};
  if (error != ERROR_INVALID_FUNCTION && error != ERROR_INVALID_PARAMETER &&
      error != ERROR_NOT_SUPPORTED) {
    return fail_os(error);
  }
  if (extended_refused != nullptr) *extended_refused = true;
  FILE_DISPOSITION_INFO classic{TRUE};
  call = watched_call([&] {
    deleted =
        file_system_calls.set_information(opened, FileDispositionInfo, &classic, sizeof(classic));
    error = deleted ? ERROR_SUCCESS : GetLastError();
  });
  if (deleted) return {};
  return fail_os(call.cancelled ? ERROR_SHARING_VIOLATION : error);
}

Status delete_entry(HANDLE parent, std::wstring_view name, ULONG options, bool* extended_refused) {
  auto opened = open_relative(parent, name, DELETE, options);
  if (!opened) return std::unexpected(opened.error());
  if (!*opened) return {};
  return delete_opened(opened->get(), extended_refused);
}

// The open carries the deletion, so nothing can fail after it but the close, which reports
// nothing: a file still open elsewhere (with delete sharing) goes when its last handle closes, as
// with the classic disposition. The open refuses a directory (FILE_NON_DIRECTORY_FILE): one that
// is not empty would be left in place by the close without a word.
Status delete_file_on_close(HANDLE parent, std::wstring_view name) {
  auto opened = open_relative(parent, name, DELETE, FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE);
  if (opened) return {};
  if (opened.error().is_os(ERROR_SHARING_VIOLATION)) return std::unexpected(opened.error());
  return delete_entry(parent, name);
}

std::uint32_t relative_open_attribute() noexcept {
  return relative_open_attribute_value;
}

Result<bool> deletion_pending_from(const Result<UniqueKernelHandle>& opened) {
  if (opened) return false;
  if (opened.error().is_os(ERROR_DELETE_PENDING)) return true;
  return std::unexpected(opened.error());
}

}  // namespace voxtrel
