#include "tests/support/scratch_registry_key.h"

#include <random>

#include "system/text.h"

namespace voxtrel::testing {

// wchar_t is a UTF-16 unit, little-endian like the registry's data, on every Windows target.
std::string utf16_bytes(std::wstring_view text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

void ScratchRegistryTest::SetUp() {
  std::random_device device;
  std::mt19937_64 engine(device() ^ (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^
                         GetTickCount64());
  path_ = L"Software\\voxtrel-test-" + std::to_wstring(engine() % 1'000'000'000ULL);
  make_key(L"");
}

void ScratchRegistryTest::TearDown() {
  if (HasFailure()) std::cerr << "scratch key: HKCU\\" << to_utf8_lossy(path_) << "\n";
  RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
}

std::wstring ScratchRegistryTest::joined(std::wstring_view relative) const {
  return relative.empty() ? path_ : path_ + L"\\" + std::wstring(relative);
}

std::string ScratchRegistryTest::key_path_utf8(std::wstring_view relative) const {
  return to_utf8_lossy(joined(relative));
}

void ScratchRegistryTest::make_key(std::wstring_view relative) const {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, joined(relative).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << "cannot create " << to_utf8_lossy(relative);
  RegCloseKey(key);
}

void ScratchRegistryTest::set_raw_value(std::wstring_view relative, std::wstring_view name,
                                        DWORD type, std::string_view bytes) const {
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, joined(relative).c_str(), std::wstring(name).c_str(),
                            type, bytes.data(), static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS)
      << "cannot set " << to_utf8_lossy(name);
}

void ScratchRegistryTest::set_text_value(std::wstring_view relative, std::wstring_view name,
                                         std::wstring_view text) const {
  set_raw_value(relative, name, REG_SZ, utf16_bytes(std::wstring(text) + L'\0'));
}

}  // namespace voxtrel::testing
