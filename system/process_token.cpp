#include "system/process_token.h"

#include "system/unique_handle.h"

namespace voxtrel {

Result<bool> is_token_elevated(HANDLE token) noexcept {
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)) {
    return std::unexpected(Error::last_os_error());
  }
  return elevation.TokenIsElevated != 0;
}

Result<bool> is_process_elevated() noexcept {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return std::unexpected(Error::last_os_error());
  }
  const UniqueKernelHandle token(raw);
  return is_token_elevated(token.get());
}

}  // namespace voxtrel
