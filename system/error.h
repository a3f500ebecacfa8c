// The failure value of every operating-system operation, and the result types built on it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "system/windows_api.h"

namespace voxtrel {

enum class ErrorKind : std::uint8_t { kOs, kInvalidInput, kNotFound };

// Fixed messages of the two fixed kinds.
inline constexpr std::string_view kNoFileNameMessage = "program path has no file name";
inline constexpr std::string_view kNulInPathMessage =
    "strings passed to WinAPI cannot contain NULs";
inline constexpr std::string_view kNulInDataMessage = "nul byte found in provided data";
inline constexpr std::string_view kProgramNotFoundMessage = "program not found";

// A Windows error code (from GetLastError, a registry status, or a converted NT status), or
// one of the fixed kinds with its fixed message.
class Error {
 public:
  [[nodiscard]] static constexpr Error os(std::uint32_t code) noexcept {
    return Error(ErrorKind::kOs, code, {});
  }
  // Call only in the statement right after the failing call.
  [[nodiscard]] static Error last_os_error() noexcept { return os(GetLastError()); }
  [[nodiscard]] static constexpr Error invalid_input(std::string_view message) noexcept {
    return Error(ErrorKind::kInvalidInput, 0, message);
  }
  [[nodiscard]] static constexpr Error not_found(std::string_view message) noexcept {
    return Error(ErrorKind::kNotFound, 0, message);
  }

  [[nodiscard]] constexpr ErrorKind kind() const noexcept { return kind_; }
  // The Windows error code; 0 for the fixed kinds.
  [[nodiscard]] constexpr std::uint32_t code() const noexcept { return code_; }
  [[nodiscard]] constexpr std::string_view message() const noexcept { return message_; }
  [[nodiscard]] constexpr bool is_os(std::uint32_t code) const noexcept {
    return kind_ == ErrorKind::kOs && code_ == code;
  }

  constexpr bool operator==(const Error&) const noexcept = default;

 private:
  constexpr Error(ErrorKind kind, std::uint32_t code, std::string_view message) noexcept
      : kind_(kind), code_(code), message_(message) {}

  ErrorKind kind_;
  std::uint32_t code_;
  std::string_view message_;  // always one of the fixed messages above
};

template <typename T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

[[nodiscard]] inline std::unexpected<Error> fail_os(std::uint32_t code) noexcept {
  return std::unexpected(Error::os(code));
}

// Whether `error` says that the file or folder asked about is no longer there, as the walks take
// it: ERROR_FILE_NOT_FOUND (2, the last name does not exist), ERROR_PATH_NOT_FOUND (3, a folder on
// the way does not), ERROR_BAD_NETPATH (53) and ERROR_BAD_NET_NAME (67, the same behind a
// network path), ERROR_DELETE_PENDING (303, it is marked for deletion and goes when its last
// handle closes).
[[nodiscard]] constexpr bool is_entry_gone(const Error& error) noexcept {
  return error.is_os(ERROR_FILE_NOT_FOUND) || error.is_os(ERROR_PATH_NOT_FOUND) ||
         error.is_os(ERROR_BAD_NETPATH) || error.is_os(ERROR_BAD_NET_NAME) ||
         error.is_os(ERROR_DELETE_PENDING);
}

// The system's own text for a Windows error code, in UTF-8 without the trailing line break;
// empty when the system has none.
[[nodiscard]] std::string system_message(std::uint32_t code);

}  // namespace voxtrel
