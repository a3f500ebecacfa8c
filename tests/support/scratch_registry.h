// A fresh registry key per test, and values written into it with exactly the bytes and type a
// test gives.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "system/registry_reader.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"

namespace voxtrel::testing {

// The bytes of UTF-16 text as the registry stores them (little-endian, no terminator added):
// wchar_t is a UTF-16 unit, little-endian like the registry's data, on every Windows target.
inline std::string utf16_bytes(std::wstring_view text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// A fresh registry key per test under HKEY_CURRENT_USER\Software, with a random suffix; it is
// removed in tear-down with RegDeleteTreeW, not with the tool's own registry code.
class ScratchRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto suffix = std::random_device{}() ^ GetCurrentProcessId() ^ GetTickCount();
    path_ = L"Software\\voxtrel-test-" + std::to_wstring(suffix);
    make_key(L"");
  }
  void TearDown() override {
    if (HasFailure()) std::cerr << "scratch key: HKCU\\" << to_utf8_lossy(path_) << "\n";
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
  }
  // The scratch key's path under HKEY_CURRENT_USER, and that path joined with `relative`.
  [[nodiscard]] const std::wstring& key_path() const { return path_; }
  [[nodiscard]] std::string key_path_utf8(std::wstring_view relative = {}) const {
    return to_utf8_lossy(joined(relative));
  }
  // Creates `relative` (and its parents) under the scratch key; the empty text is the key itself.
  void make_key(std::wstring_view relative) const {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, joined(relative).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << "cannot create " << to_utf8_lossy(relative);
    RegCloseKey(key);
  }
  // Stores a value with exactly these bytes and this type in `relative` (created if needed).
  void set_raw_value(std::wstring_view relative, std::wstring_view name, DWORD type,
                     std::string_view bytes) const {
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CURRENT_USER, joined(relative).c_str(), std::wstring(name).c_str(),
                        type, bytes.data(), static_cast<DWORD>(bytes.size())),
        ERROR_SUCCESS)
        << "cannot set " << to_utf8_lossy(name);
  }
  // A REG_SZ value with its terminating NUL.
  void set_text_value(std::wstring_view relative, std::wstring_view name,
                      std::wstring_view text) const {
    set_raw_value(relative, name, REG_SZ, utf16_bytes(std::wstring(text) + L'\0'));
  }
  // The scratch key or a key below it, opened by the tool's own code.
  UniqueRegistryKey open_scratch(std::wstring_view relative = {}) {
    auto key = open_key(HKEY_CURRENT_USER, key_path_utf8(relative));
    EXPECT_TRUE(key.has_value()) << "open failed: " << key.error().code();
    return key ? std::move(*key) : UniqueRegistryKey();
  }
  Result<std::string> read(std::wstring_view name) {
    return read_string_value(open_scratch().get(), to_utf8_lossy(name));
  }

 private:
  [[nodiscard]] std::wstring joined(std::wstring_view relative) const {
    return relative.empty() ? path_ : path_ + L"\\" + std::wstring(relative);
  }
  std::wstring path_;
};

}  // namespace voxtrel::testing
