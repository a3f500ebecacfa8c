#include "system/relative_open.h"

#include "system/file_system_calls.h"

namespace voxtrel {
namespace {

constexpr NTSTATUS kStatusPending = 0x00000103;
// A success status: the open went through, but it broke another handle's oplock, whose holder
// has not acknowledged the break yet.
constexpr NTSTATUS kStatusOplockBreakInProgress = 0x00000108;
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);

// The header declares this class only for a target version above Windows 10's first release.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
// Extended disposition: delete now (POSIX semantics, the name goes at once) and override the
// read-only attribute. Refused by file systems other than NTFS and before Windows 10 1809.
constexpr DWORD kExtendedDispositionFlags = FILE_DISPOSITION_FLAG_DELETE |
                                            FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                            FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;

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

// The codes that say the entry is no longer there: removed by someone else (2, 3, or the network
// equivalents 53 and 67), or already marked for deletion (303).
bool is_gone_code(DWORD code) noexcept {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME || code == ERROR_DELETE_PENDING;
}

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
  return file_system_calls.open_file(opened, access, &object, &io, kShareAll,
                                     options | FILE_COMPLETE_IF_OPLOCKED);
}

// The answer to an open that came back while another handle's oplock breaks: that handle is
// closed and the entry is busy.
std::unexpected<Error> held_by_oplock(HANDLE opened) noexcept {
  UniqueKernelHandle closed(opened);
  return fail_os(ERROR_SHARING_VIOLATION);
}

}  // namespace

// Without FILE_COMPLETE_IF_OPLOCKED an open that breaks a batch or level-1 oplock waits, without
// any limit, for the holder to acknowledge the break, and any user may take one on a file of
// theirs and never answer. With it the open returns at once, the break under way; that handle is
// closed again and the entry taken as held by another process, which it is.
//
// Opened as itself, the name's own reparse point is not followed (FILE_OPEN_REPARSE_POINT), and
// with OBJ_DONT_REPARSE no reparse point anywhere on the way is either. Followed, neither is set:
// OBJ_DONT_REPARSE would refuse the link.
Result<UniqueKernelHandle> open_relative(HANDLE parent, std::wstring_view name, ACCESS_MASK access,
                                         ULONG options, LinkHandling links) {
  ULONG attributes = 0;
  if (links == LinkHandling::kOpenItself) {
    options |= FILE_OPEN_REPARSE_POINT;
    attributes = relative_open_attribute_value;
  }
  HANDLE opened = nullptr;
  NTSTATUS status = open_relative_once(parent, name, access, options, attributes, &opened);
  if (!NT_SUCCESS(status) && attributes == OBJ_DONT_REPARSE &&
      error_code_from_status(status) == ERROR_INVALID_PARAMETER) {
    relative_open_attribute_value = 0;
    status = open_relative_once(parent, name, access, options, 0, &opened);
  }
  if (status == kStatusOplockBreakInProgress) return held_by_oplock(opened);
  if (NT_SUCCESS(status)) return UniqueKernelHandle(opened);
  const DWORD code = error_code_from_status(status);
  if (is_gone_code(code)) return UniqueKernelHandle();
  return fail_os(code);
}

Status delete_opened(HANDLE opened, bool* extended_refused) {
  FILE_DISPOSITION_INFO_EX extended{kExtendedDispositionFlags};
  if (file_system_calls.set_information(opened, kFileDispositionInfoEx, &extended,
                                        sizeof(extended))) {
    return {};
  }
  const DWORD extended_error = GetLastError();
  if (extended_error != ERROR_INVALID_FUNCTION && extended_error != ERROR_INVALID_PARAMETER &&
      extended_error != ERROR_NOT_SUPPORTED) {
    return fail_os(extended_error);
  }
  if (extended_refused != nullptr) *extended_refused = true;
  FILE_DISPOSITION_INFO classic{TRUE};
  if (file_system_calls.set_information(opened, FileDispositionInfo, &classic, sizeof(classic))) {
    return {};
  }
  return fail_os(GetLastError());
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

}  // namespace voxtrel
