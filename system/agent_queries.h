// Read-only questions about services and processes, for the footprint check: is a service
// registered, which processes run an image. Every failure is a value; nothing here prints or
// changes anything.
#pragma once

#include <string_view>
#include <vector>

#include "system/error.h"

namespace voxtrel {

// Whether the service control manager knows a service of this name (one marked for deletion but
// still open somewhere counts: it is still there). Fails with the error of OpenSCManagerW or
// OpenServiceW, except ERROR_SERVICE_DOES_NOT_EXIST, which is the answer false.
[[nodiscard]] Result<bool> service_exists(std::string_view name);

// Whether a process's image name is `image_name`, compared as taskkill /IM compares a name
// without wildcards: the whole name, ignoring case.
[[nodiscard]] bool is_image_named(std::wstring_view image, std::wstring_view image_name) noexcept;

// The ids of the running processes whose image is `image_name`, in the order of a toolhelp
// snapshot. Fails with the error of CreateToolhelp32Snapshot or of Process32FirstW (other than
// ERROR_NO_MORE_FILES, an empty list).
[[nodiscard]] Result<std::vector<DWORD>> processes_named(std::string_view image_name);

}  // namespace voxtrel
