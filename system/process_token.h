// What a process token says about the rights it carries. Nothing here prints.
#pragma once

#include "system/error.h"

namespace voxtrel {

// Whether `token` (opened with TOKEN_QUERY) is elevated, as its TokenElevation reports. Fails
// with GetTokenInformation's error.
[[nodiscard]] Result<bool> is_token_elevated(HANDLE token) noexcept;

// The same for the calling process's own token. Fails with OpenProcessToken's or
// GetTokenInformation's error.
[[nodiscard]] Result<bool> is_process_elevated() noexcept;

}  // namespace voxtrel
