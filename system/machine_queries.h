// Read-only questions about what runs on this machine: is a service registered, and is it only
// waiting to go; which processes run an image. Every failure is a value; nothing here prints or
// changes anything.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "system/error.h"

namespace voxtrel {

enum class ServiceState : std::uint8_t {
  kAbsent,
  kPresent,
  // Deleted, but kept until the last handle to it closes and it has stopped: a handle another
  // program holds (a monitoring agent's, a console's) or a service that cannot be stopped keeps
  // it until the next restart.
  kMarkedForDeletion,
};

// The one service call Wine (8 and 10) answers otherwise than Windows, made through this table so
// that a test can have it answer as Windows does; the tool itself never changes it.
struct ServiceCalls {
  decltype(&::NotifyServiceStatusChangeW) notify_status_change;
};
extern ServiceCalls service_calls;

// Whether the service control manager knows a service of this name, and whether it is marked for
// deletion (NotifyServiceStatusChangeW answers ERROR_SERVICE_MARKED_FOR_DELETE for such a service;
// Wine 8 and 10 answer it with success). Fails with the error of OpenSCManagerW or OpenServiceW,
// except ERROR_SERVICE_DOES_NOT_EXIST, which is the answer absent. A service whose deletion
// cannot be asked about is present.
[[nodiscard]] Result<ServiceState> service_state(std::string_view name);

// Whether a process's image name is `image_name`, compared as taskkill /IM compares a name
// without wildcards: the whole name, ignoring case.
[[nodiscard]] bool is_image_named(std::wstring_view image, std::wstring_view image_name) noexcept;

// The ids of the running processes whose image is `image_name`, in the order of a toolhelp
// snapshot. Fails with the error of CreateToolhelp32Snapshot or of Process32FirstW (other than
// ERROR_NO_MORE_FILES, an empty list).
[[nodiscard]] Result<std::vector<DWORD>> processes_named(std::string_view image_name);

}  // namespace voxtrel
