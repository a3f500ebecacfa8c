#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "system/registry_reader.h"
#include "system/text.h"
#include "tests/support/scratch_registry_key.h"

namespace voxtrel {
namespace {

using testing::ScratchRegistryTest;
using testing::utf16_bytes;

constexpr DWORD kUnknownValueType = kHighestKnownValueType + 1;

class RegistryReader : public ScratchRegistryTest {
 protected:
  UniqueRegistryKey open_scratch(std::wstring_view relative = {}) {
    auto key = open_key(HKEY_CURRENT_USER, key_path_utf8(relative));
    EXPECT_TRUE(key.has_value()) << "open failed: " << key.error().code();
    return key ? std::move(*key) : UniqueRegistryKey();
  }
  Result<std::string> read(std::wstring_view name) {
    const UniqueRegistryKey key = open_scratch();
    return read_string_value(key.get(), to_utf8_lossy(name));
  }
  std::vector<Result<std::string>> list(std::wstring_view relative = {}) {
    const UniqueRegistryKey key = open_scratch(relative);
    std::vector<Result<std::string>> items;
    for (const auto& item : subkey_names(key.get())) items.push_back(item);
    return items;
  }
};

struct TextCase {
  const char* label;
  DWORD type;
  std::string bytes;
  std::string expected;
};

TEST_F(RegistryReader, ReadsTextValuesByTheDecodingRules) {
  const std::string big(5000, 'v');
  const std::vector<TextCase> cases = {
      {"sz, two trailing NULs", REG_SZ, utf16_bytes(std::wstring(L"Voxtrel\0\0", 9)), "Voxtrel"},
      {"sz, one trailing NUL", REG_SZ, utf16_bytes(std::wstring(L"Voxtrel\0", 8)), "Voxtrel"},
      {"sz, no NUL", REG_SZ, utf16_bytes(L"Voxtrel"), "Voxtrel"},
      {"sz, empty", REG_SZ, "", ""},
      {"expand_sz, not expanded", REG_EXPAND_SZ,
       utf16_bytes(std::wstring(L"%SystemRoot%\\x\0", 15)), "%SystemRoot%\\x"},
      {"multi_sz, two strings", REG_MULTI_SZ, utf16_bytes(std::wstring(L"one\0two\0\0", 9)),
       "one\ntwo"},
      {"sz, inner NUL kept", REG_SZ, utf16_bytes(std::wstring(L"a\0b\0", 4)),
       std::string("a\0b", 3)},
      {"odd byte count", REG_SZ, utf16_bytes(L"ab") + "c", "ab"},
      {"unpaired surrogate", REG_SZ, utf16_bytes(std::wstring(L"a\xD800z\0", 4)), "a\xEF\xBF\xBDz"},
      {"non-ASCII", REG_SZ, utf16_bytes(std::wstring(L"Gr\u00FC\u00DFe \U0001F600\0", 10)),
       "Gr\xC3\xBC\xC3\x9F"
       "e \xF0\x9F\x98\x80"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto name = L"value" + std::to_wstring(i);
    set_raw_value(L"", name, cases[i].type, cases[i].bytes);
    const auto text = read(name);
    ASSERT_TRUE(text.has_value()) << cases[i].label << ": error " << text.error().code();
    EXPECT_EQ(*text, cases[i].expected) << cases[i].label;
  }
}

TEST_F(RegistryReader, ReadsValuesAroundAndBeyondTheFirstBufferWhole) {
  // 2048 bytes fill the first buffer exactly; larger ones need the buffer to grow.
  for (const std::size_t bytes : {2046u, 2048u, 2050u, 2049u, 70000u}) {
    std::wstring text;
    for (std::size_t i = 0; i < bytes / 2; ++i) text.push_back(static_cast<wchar_t>(L'a' + i % 26));
    std::string data = utf16_bytes(text);
    if (bytes % 2 != 0) data.push_back('\x7F');
    set_raw_value(L"", L"Big", REG_SZ, data);
    const auto read_back = read(L"Big");
    ASSERT_TRUE(read_back.has_value()) << bytes << " bytes: error " << read_back.error().code();
    EXPECT_EQ(*read_back, to_utf8_lossy(text)) << bytes << " bytes";
  }
}

TEST_F(RegistryReader, RefusesValuesThatAreNotText) {
  set_dword_value(L"", L"DisplayName", 1234);
  set_raw_value(L"", L"Binary", REG_BINARY, utf16_bytes(L"text"));
  set_raw_value(L"", L"Qword", REG_QWORD, std::string(8, '\1'));
  set_raw_value(L"", L"Unknown", kUnknownValueType, utf16_bytes(L"text"));
  for (const auto* name : {L"DisplayName", L"Binary", L"Qword", L"Unknown"}) {
    const auto text = read(name);
    ASSERT_FALSE(text.has_value()) << to_utf8_lossy(name) << " read as " << *text;
    EXPECT_TRUE(text.error().is_os(ERROR_BAD_FILE_TYPE)) << to_utf8_lossy(name);
  }
}

TEST_F(RegistryReader, ReportsAMissingValueOrKeyWithTheRegistryStatus) {
  const auto value = read(L"Absent");
  ASSERT_FALSE(value.has_value());
  EXPECT_TRUE(value.error().is_os(ERROR_FILE_NOT_FOUND));
  const auto key = open_key(HKEY_CURRENT_USER, key_path_utf8(L"absent"));
  ASSERT_FALSE(key.has_value());
  EXPECT_TRUE(key.error().is_os(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryReader, RefusesANulInsideAPathOrValueName) {
  const auto key = open_key(HKEY_CURRENT_USER, key_path_utf8() + std::string("\0x", 2));
  ASSERT_FALSE(key.has_value());
  EXPECT_EQ(key.error().kind(), ErrorKind::kInvalidInput);
  const UniqueRegistryKey scratch = open_scratch();
  const auto value = read_string_value(scratch.get(), std::string("Display\0Name", 12));
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().kind(), ErrorKind::kInvalidInput);
}

TEST_F(RegistryReader, OpensForReadingOnlyAndClosesOnce) {
  UniqueRegistryKey key = open_scratch();
  const DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(key.get(), L"Written", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                           sizeof(one)),
            ERROR_ACCESS_DENIED);
  const HKEY raw = key.get();
  EXPECT_TRUE(close_key(std::move(key)).has_value());
  EXPECT_EQ(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
}

TEST_F(RegistryReader, ListsEveryDirectSubkeyOnce) {
  // 255 units is the longest name the registry allows.
  std::vector<std::string> expected = {"{B}", "Alpha", "\xC3\x89t\xC3\xA9", "{A}",
                                       std::string(255, 'n')};
  for (const auto& name : expected) make_key(to_wide(name));
  make_key(L"Alpha\\Nested");
  std::vector<std::string> names;
  for (const auto& item : list()) {
    ASSERT_TRUE(item.has_value()) << "error item " << item.error().code();
    names.push_back(*item);
  }
  std::ranges::sort(names);
  std::ranges::sort(expected);
  EXPECT_EQ(names, expected);
  EXPECT_TRUE(list(L"Alpha\\Nested").empty());
}

// A key deleted while it is listed answers ERROR_KEY_DELETED for every index: the listing ends
// there instead of giving error items for ever.
TEST_F(RegistryReader, ListingEndsWhenTheKeyIsDeleted) {
  for (const auto* name : {L"Gone\\a", L"Gone\\b"}) make_key(name);
  const UniqueRegistryKey key = open_scratch(L"Gone");
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, to_wide(key_path_utf8(L"Gone")).c_str()),
            ERROR_SUCCESS);
  std::size_t items = 0;
  auto names = subkey_names(key.get());
  for (auto it = names.begin(); it != names.end() && items < 10; ++it) ++items;
  EXPECT_EQ(items, 0u);
}

TEST_F(RegistryReader, GivesAnErrorItemForAnUndecodableNameAndGoesOn) {
  const std::wstring unpaired =
      L"m\xDC00"
      L"bad";
  HKEY raw = nullptr;
  const std::wstring path = key_path() + L"\\" + unpaired;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &raw,
                      nullptr) != ERROR_SUCCESS) {
    GTEST_SKIP() << "the registry refuses a key name with an unpaired surrogate";
  }
  RegCloseKey(raw);
  make_key(L"a-first");
  make_key(L"z-last");
  const auto items = list();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].value_or("<error>"), "a-first");
  ASSERT_FALSE(items[1].has_value()) << "read as " << *items[1];
  EXPECT_TRUE(items[1].error().is_os(ERROR_INVALID_BLOCK));
  EXPECT_EQ(items[2].value_or("<error>"), "z-last");
}

// Keys open in the registry view of the tool's own 64-bit process, never in the 32-bit one.
TEST(RegistryView, IsTheProcessOwn) {
  const std::wstring path = L"SOFTWARE\\voxtrel-view-" + std::to_wstring(GetCurrentProcessId());
  struct Views {
    const std::wstring& path;
    ~Views() {
      for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
      }
    }
  } const views{path};
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    HKEY raw = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                        nullptr, &raw, nullptr) != ERROR_SUCCESS) {
      GTEST_SKIP() << "HKLM\\SOFTWARE cannot be written here (no administrator rights)";
    }
    const UniqueRegistryKey key(raw);
    const DWORD bits = view == KEY_WOW64_64KEY ? 64 : 32;
    RegSetValueExW(raw, L"Bits", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&bits), sizeof(bits));
  }
  const auto key = open_key(HKEY_LOCAL_MACHINE, to_utf8_lossy(path));
  ASSERT_TRUE(key.has_value());
  DWORD bits = 0;
  DWORD size = sizeof(bits);
  EXPECT_EQ(RegQueryValueExW(key->get(), L"Bits", nullptr, nullptr, reinterpret_cast<BYTE*>(&bits),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(bits, 64u);
}

}  // namespace
}  // namespace voxtrel
