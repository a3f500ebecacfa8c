#include "system/agent_queries.h"

#include <limits>
#include <string>

#include "system/file_system_calls.h"
#include "system/path.h"
#include "system/text.h"
#include "system/unique_handle.h"

// After <windows.h>: the toolhelp snapshot, served by kernel32.
#include <tlhelp32.h>

namespace voxtrel {
namespace {

// Only asks; SC_MANAGER_CONNECT and SERVICE_QUERY_STATUS are what any user is granted, so the
// answer does not depend on the caller's rights where it need not.
constexpr DWORD kManagerAccess = SC_MANAGER_CONNECT;
constexpr DWORD kServiceAccess = SERVICE_QUERY_STATUS;

constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);
// An open for attributes only meets no share mode, and breaks no oplock ("Checking the Oplock
// State of an IRP_MJ_CREATE Operation", Windows driver documentation).
constexpr ACCESS_MASK kAttributesOnly = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// The longest name a UNICODE_STRING holds, in bytes.
constexpr std::size_t kMaxNtNameBytes = std::numeric_limits<USHORT>::max() - 1;

// A notification nobody waits for: its handle is closed at once, after which none is queued,
// and this thread makes no alertable wait that would run one queued before. It lives as long as
// the process, as the system may write to it until the handle is closed.
void CALLBACK ignore_notification(void*) {}
constinit SERVICE_NOTIFYW unwaited_notification{};

// The form NtOpenFile takes: absolute, "\??\" where the verbatim form has "\\?\".
Result<std::wstring> nt_form(std::wstring_view path) {
  if (path.find(L'\0') != std::wstring_view::npos) {
    return std::unexpected(Error::invalid_input(kNulInPathMessage));
  }
  std::wstring absolute(path);
  if (!absolute.starts_with(kVerbatimPrefix) && !absolute.starts_with(kNtObjectPrefix)) {
    auto full = full_path_name(absolute);
    if (!full) return std::unexpected(full.error());
    absolute = std::move(*full);
  }
  std::wstring nt = add_verbatim_prefix(absolute);
  if (nt.starts_with(kVerbatimPrefix)) nt.replace(0, kVerbatimPrefix.size(), kNtObjectPrefix);
  return nt;
}

}  // namespace

ServiceCalls service_calls = {.notify_status_change = &::NotifyServiceStatusChangeW};

Result<ServiceState> service_state(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) {
    return std::unexpected(Error::invalid_input(kNulInPathMessage));
  }
  const UniqueService manager(OpenSCManagerW(nullptr, nullptr, kManagerAccess));
  if (!manager) return fail_os(GetLastError());
  const UniqueService service(OpenServiceW(manager.get(), to_wide(name).c_str(), kServiceAccess));
  if (!service) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return ServiceState::kAbsent;
    return fail_os(error);
  }
  // The one query that tells a service marked for deletion: asked to report the deletion, it
  // refuses with ERROR_SERVICE_MARKED_FOR_DELETE when it has already happened. Otherwise it waits
  // for it, until the handle closes when this function returns.
  unwaited_notification = {};
  unwaited_notification.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  unwaited_notification.pfnNotifyCallback = &ignore_notification;
  const DWORD answer = service_calls.notify_status_change(
      service.get(), SERVICE_NOTIFY_DELETE_PENDING, &unwaited_notification);
  if (answer == ERROR_SERVICE_MARKED_FOR_DELETE) return ServiceState::kMarkedForDeletion;
  return ServiceState::kPresent;
}

Result<bool> deletion_pending(std::wstring_view path) {
  auto nt = nt_form(path);
  if (!nt) return std::unexpected(nt.error());
  const std::size_t bytes = nt->size() * sizeof(wchar_t);
  if (bytes > kMaxNtNameBytes) return fail_os(ERROR_FILENAME_EXCED_RANGE);
  UNICODE_STRING name{static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), nt->data()};
  OBJECT_ATTRIBUTES object{};
  InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE opened = nullptr;
  const NTSTATUS status = file_system_calls.open_file(&opened, kAttributesOnly, &object, &io,
                                                      kShareAll, FILE_SYNCHRONOUS_IO_NONALERT);
  if (status == kStatusDeletePending) return true;
  // Every other status as relative_open converts it: STATUS_DELETE_PENDING, which
  // RtlNtStatusToDosError makes 5, is the one it takes apart.
  if (!NT_SUCCESS(status)) return fail_os(RtlNtStatusToDosError(status));
  const UniqueKernelHandle closed(opened);
  return false;
}

bool is_image_named(std::wstring_view image, std::wstring_view image_name) noexcept {
  // An ordinal comparison that ignores case, as the system compares file names, not the
  // linguistic one of the user's locale.
  return CompareStringOrdinal(image.data(), static_cast<int>(image.size()), image_name.data(),
                              static_cast<int>(image_name.size()), TRUE) == CSTR_EQUAL;
}

Result<std::vector<DWORD>> processes_named(std::string_view image_name) {
  const std::wstring wanted = to_wide(image_name);
  const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return fail_os(GetLastError());
  std::vector<DWORD> ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  if (!Process32FirstW(snapshot.get(), &entry)) {
    const DWORD error = GetLastError();
    if (error == ERROR_NO_MORE_FILES) return ids;
    return fail_os(error);
  }
  do {
    if (is_image_named(entry.szExeFile, wanted)) ids.push_back(entry.th32ProcessID);
  } while (Process32NextW(snapshot.get(), &entry));
  return ids;
}

}  // namespace voxtrel
