// Conversions between the tool's UTF-8 text and the UTF-16 the platform speaks.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace voxtrel {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

[[nodiscard]] constexpr bool is_high_surrogate(wchar_t unit) noexcept {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
[[nodiscard]] constexpr bool is_low_surrogate(wchar_t unit) noexcept {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// UTF-8 to UTF-16. The tool's own texts are valid UTF-8; a malformed byte becomes U+FFFD.
[[nodiscard]] std::wstring to_wide(std::string_view utf8);

// UTF-16 to UTF-8; nothing when the text holds an unpaired surrogate. For names that must be exact.
[[nodiscard]] std::optional<std::string> to_utf8_strict(std::wstring_view utf16);

// UTF-16 to UTF-8 with U+FFFD for each unpaired surrogate. For text that is only shown.
[[nodiscard]] std::string to_utf8_lossy(std::wstring_view utf16);

// Appends the UTF-8 form of one code point.
void append_utf8(std::string& out, char32_t code_point);

}  // namespace voxtrel
