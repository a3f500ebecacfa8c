// Reading the registry: text values by their decoding rules, keys opened for reading in the
// process's own view and closed once, every direct subkey listed once.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "system/registry_reader.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/scratch_registry.h"

namespace voxtrel {
namespace {

using testing::utf16_bytes;
using RegistryReader = testing::ScratchRegistryTest;

// 2048 bytes fill the first buffer exactly; larger values need it to grow.
TEST_F(RegistryReader, ReadsTextValuesByTheDecodingRules) {
  const std::string fills(1024, 'v');
  const std::string grows(35000, 'w');
  const auto not_text = fail_os(ERROR_BAD_FILE_TYPE);
  const struct {
    DWORD type;
    std::string bytes;
    Result<std::string> expected;
  } cases[] = {
      {REG_SZ, utf16_bytes(std::wstring(L"Voxtrel\0\0", 9)), "Voxtrel"},
      {REG_SZ, utf16_bytes(L"Voxtrel"), "Voxtrel"},
      {REG_SZ, "", ""},
      {REG_EXPAND_SZ, utf16_bytes(std::wstring(L"%SystemRoot%\\x\0", 15)), "%SystemRoot%\\x"},
      {REG_MULTI_SZ, utf16_bytes(std::wstring(L"one\0two\0\0", 9)), "one\ntwo"},
      {REG_SZ, utf16_bytes(std::wstring(L"a\0b\0", 4)), std::string("a\0b", 3)},
      {REG_SZ, utf16_bytes(L"ab") + "c", "ab"},
      {REG_SZ, utf16_bytes(std::wstring(L"a\xD800z\0", 4)), "a\xEF\xBF\xBDz"},
      {REG_SZ, utf16_bytes(L"Gr\u00FC\u00DFe \U0001F600"), "Gr\u00FC\u00DFe \U0001F600"},
      {REG_SZ, utf16_bytes(to_wide(fills)), fills},
      {REG_SZ, utf16_bytes(to_wide(fills)) + "\x7F", fills},
      {REG_SZ, utf16_bytes(to_wide(grows)), grows},
      {REG_DWORD, std::string(4, '\1'), not_text},
      {REG_BINARY, utf16_bytes(L"text"), not_text},
      {REG_QWORD, std::string(8, '\1'), not_text},
      {kHighestKnownValueType + 1, utf16_bytes(L"text"), not_text},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto name = L"value" + std::to_wstring(i);
    set_raw_value(L"", name, cases[i].type, cases[i].bytes);
    const auto got = read(name);
    EXPECT_TRUE(got == cases[i].expected) << "case " << i << ": " << got.value_or("<error>");
  }
}

TEST_F(RegistryReader, FailsWithTheRegistryStatusOrOnANul) {
  const auto missing = std::unexpected(Error::os(ERROR_FILE_NOT_FOUND));
  const auto nul = std::unexpected(Error::invalid_input(kNulInPathMessage));
  EXPECT_EQ(read(L"Absent"), missing);
  EXPECT_EQ(read_string_value(open_scratch().get(), std::string("Display\0Name", 12)), nul);
  EXPECT_EQ(open_key(HKEY_CURRENT_USER, key_path_utf8(L"absent")), missing);
  EXPECT_EQ(open_key(HKEY_CURRENT_USER, key_path_utf8() + std::string("\0x", 2)), nul);
}

TEST_F(RegistryReader, OpensForReadingOnlyAndClosesOnce) {
  UniqueRegistryKey key = open_scratch();
  const BYTE one[4] = {1};
  EXPECT_EQ(RegSetValueExW(key.get(), L"Written", 0, REG_DWORD, one, 4), ERROR_ACCESS_DENIED);
  const HKEY raw = key.get();
  EXPECT_TRUE(close_key(std::move(key)).has_value());
  EXPECT_EQ(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
}

// Direct subkeys only, in index order. 255 units is the longest name the registry allows; a name
// with an unpaired surrogate is an error item that does not end the listing.
TEST_F(RegistryReader, ListsEveryDirectSubkeyOnce) {
  HKEY raw = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, (key_path() + L"\\m\xDC00").c_str(), 0, nullptr, 0,
                      KEY_READ, nullptr, &raw, nullptr) != ERROR_SUCCESS)
    GTEST_SKIP() << "the registry refuses a key name with an unpaired surrogate";
  RegCloseKey(raw);
  for (const auto* name : {L"Alpha\\Nested", L"{B}", L"\u00C9t\u00E9", L"z"}) make_key(name);
  make_key(std::wstring(255, L'n'));
  const UniqueRegistryKey key = open_scratch();
  EXPECT_TRUE(subkey_names(key.get()) == (std::vector<Result<std::string>>{
                                             "Alpha", fail_os(ERROR_INVALID_BLOCK),
                                             std::string(255, 'n'), "z", "{B}", "\u00C9t\u00E9"}));
}

// A key deleted while it is listed answers ERROR_KEY_DELETED for every index: the listing ends
// there instead of giving error items for ever.
TEST_F(RegistryReader, ListingEndsWhenTheKeyIsDeleted) {
  make_key(L"Gone\\a");
  const UniqueRegistryKey key = open_scratch(L"Gone");
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, (key_path() + L"\\Gone").c_str()), ERROR_SUCCESS);
  EXPECT_TRUE(subkey_names(key.get()).empty());
}

// Keys open in the registry view of the tool's own 64-bit process: a key made in the 32-bit view
// alone is not there.
TEST(RegistryView, IsTheProcessOwn) {
  const std::wstring path = L"SOFTWARE\\voxtrel-view-" + std::to_wstring(GetCurrentProcessId());
  HKEY raw = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WOW64_32KEY,
                      nullptr, &raw, nullptr) != ERROR_SUCCESS)
    GTEST_SKIP() << "HKLM\\SOFTWARE cannot be written here (no administrator rights)";
  RegCloseKey(raw);
  const auto key = open_key(HKEY_LOCAL_MACHINE, to_utf8_lossy(path));
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_32KEY, 0);
  EXPECT_EQ(key, std::unexpected(Error::os(ERROR_FILE_NOT_FOUND))) << "opened in the 32-bit view";
}

}  // namespace
}  // namespace voxtrel
