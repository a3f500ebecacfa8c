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

// What a failure says about the thing asked about. Each code with the calls that answer it.

// Nothing is at the name asked for, the question's plain "no":
// - ERROR_FILE_NOT_FOUND (2): CreateFileW or NtOpenFile of a name its folder does not hold;
//   RegOpenKeyExW of a key, RegQueryValueExW of a value, that does not exist.
// - ERROR_PATH_NOT_FOUND (3): CreateFileW or NtOpenFile when a folder on the way does not exist.
// - ERROR_BAD_NETPATH (53), ERROR_BAD_NET_NAME (67): the same for the server or the share of a
//   network path.
[[nodiscard]] constexpr bool is_absent(const Error& error) noexcept {
  return error.is_os(ERROR_FILE_NOT_FOUND) || error.is_os(ERROR_PATH_NOT_FOUND) ||
         error.is_os(ERROR_BAD_NETPATH) || error.is_os(ERROR_BAD_NET_NAME);
}

// A file or folder that the walks need not act on, since it is gone or going by itself:
// is_absent, or ERROR_DELETE_PENDING (303, from STATUS_DELETE_PENDING): any open of an entry
// already marked for deletion, which goes when its last handle closes. (Whoever must tell "gone"
// from "gone at the next restart", as the footprint check does, asks is_absent instead.)
[[nodiscard]] constexpr bool is_entry_gone(const Error& error) noexcept {
  return is_absent(error) || error.is_os(ERROR_DELETE_PENDING);
}

// A registry key or value that is not there: is_absent, or ERROR_KEY_DELETED (1018):
// RegEnumKeyExW, RegOpenKeyExW or RegQueryValueExW through the handle of a key that was deleted
// since it was opened.
[[nodiscard]] constexpr bool is_key_gone(const Error& error) noexcept {
  return is_absent(error) || error.is_os(ERROR_KEY_DELETED);
}

// The system's own text for a Windows error code, in UTF-8 without the trailing line break;
// empty when the system has none.
[[nodiscard]] std::string system_message(std::uint32_t code);

}  // namespace voxtrel
