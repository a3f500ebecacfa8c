#include "system/machine_queries.h"

#include <string>

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

// A notification nobody waits for: its handle is closed at once, after which none is queued,
// and this thread makes no alertable wait that would run one queued before. It lives as long as
// the process, as the system may write to it until the handle is closed.
void CALLBACK ignore_notification(void*) {}
constinit SERVICE_NOTIFYW unwaited_notification{};

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
