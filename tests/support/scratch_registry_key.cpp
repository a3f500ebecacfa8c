#include "tests/support/scratch_registry_key.h"

#include <random>

#include "system/text.h"

namespace voxtrel::testing {
namespace {

std::wstring random_suffix() {
  std::random_device device;
  std::mt19937_64 engine(device() ^ (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^
                         GetTickCount64());
  return std::to_wstring(engine() % 1'000'000'000ULL);
}

std::wstring joined(const std::wstring& base, std::wstring_view relative) {
  return relative.empty() ? base : base + L"\\" + std::wstring(relative);
}

}  // namespace

std::string utf16_bytes(std::wstring_view text) {
  std::string bytes;
  for (const wchar_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
  }
  return bytes;
}

void ScratchRegistryTest::SetUp() {
  path_ = L"Software\\voxtrel-test-" + random_suffix();
  make_key(L"");
}

void ScratchRegistryTest::TearDown() {
  if (HasFailure()) std::cerr << "scratch key: HKCU\\" << to_utf8_lossy(path_) << "\n";
  RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
}

std::string ScratchRegistryTest::key_path_utf8(std::wstring_view relative) const {
  return to_utf8_lossy(joined(path_, relative));
}

void ScratchRegistryTest::make_key(std::wstring_view relative) const {
  HKEY key = nullptr;
  const LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, joined(path_, relative).c_str(), 0,
                                         nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ASSERT_EQ(status, ERROR_SUCCESS) << "cannot create " << to_utf8_lossy(relative);
  RegCloseKey(key);
}

void ScratchRegistryTest::set_raw_value(std::wstring_view relative, std::wstring_view name,
                                        DWORD type, std::string_view bytes) const {
  const std::wstring value_name(name);
  const LSTATUS status =
      RegSetKeyValueW(HKEY_CURRENT_USER, joined(path_, relative).c_str(), value_name.c_str(), type,
                      bytes.data(), static_cast<DWORD>(bytes.size()));
  ASSERT_EQ(status, ERROR_SUCCESS) << "cannot set " << to_utf8_lossy(name);
}

void ScratchRegistryTest::set_text_value(std::wstring_view relative, std::wstring_view name,
                                         std::wstring_view text) const {
  set_raw_value(relative, name, REG_SZ, utf16_bytes(std::wstring(text) + L'\0'));
}

void ScratchRegistryTest::set_dword_value(std::wstring_view relative, std::wstring_view name,
                                          DWORD value) const {
  set_raw_value(relative, name, REG_DWORD,
                std::string_view(reinterpret_cast<const char*>(&value), sizeof(value)));
}

}  // namespace voxtrel::testing
