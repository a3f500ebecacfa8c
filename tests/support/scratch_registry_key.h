// A fresh registry key per test under HKEY_CURRENT_USER\Software, with a random suffix; it is
// removed in tear-down with RegDeleteTreeW, not with the tool's own registry code.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "system/windows_api.h"

namespace voxtrel::testing {

class ScratchRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The scratch key's path under HKEY_CURRENT_USER, and that path joined with `relative`.
  [[nodiscard]] const std::wstring& key_path() const { return path_; }
  [[nodiscard]] std::string key_path_utf8(std::wstring_view relative = {}) const;
  // Creates `relative` (and its parents) under the scratch key; the empty text is the key itself.
  void make_key(std::wstring_view relative) const;
  // Stores a value with exactly these bytes and this type in `relative` (created if needed).
  void set_raw_value(std::wstring_view relative, std::wstring_view name, DWORD type,
                     std::string_view bytes) const;
  // A REG_SZ value with its terminating NUL.
  void set_text_value(std::wstring_view relative, std::wstring_view name,
                      std::wstring_view text) const;

 private:
  [[nodiscard]] std::wstring joined(std::wstring_view relative) const;
  std::wstring path_;
};

// The bytes of UTF-16 text as the registry stores them (little-endian, no terminator added).
[[nodiscard]] std::string utf16_bytes(std::wstring_view text);

}  // namespace voxtrel::testing
