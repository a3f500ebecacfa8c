// Reading the registry, and the uninstall lists' scan (step 4, the footprint check) that reads it.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "driver/msi_removal.h"
#include "system/registry_reader.h"
#include "system/text.h"
#include "system/unique_handle.h"
#include "system/windows_api.h"
#include "tests/support/scratch_directory.h"

namespace voxtrel {
namespace {

// The bytes of UTF-16 text as the registry stores them (little-endian, no terminator added):
// wchar_t is a UTF-16 unit, little-endian like the registry's data, on every Windows target.
std::string utf16_bytes(std::wstring_view text) {
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
  // Step 4's scan of the list "Uninstall" below the scratch key: "subkey=display name" per match.
  std::vector<std::string> scan() {
    std::vector<std::string> found;
    for (const auto& product :
         find_voxtrel_products(HKEY_CURRENT_USER, key_path_utf8(L"Uninstall")))
      found.push_back(product.subkey + "=" + product.display_name);
    return found;
  }

 private:
  [[nodiscard]] std::wstring joined(std::wstring_view relative) const {
    return relative.empty() ? path_ : path_ + L"\\" + std::wstring(relative);
  }
  std::wstring path_;
};

using RegistryReader = ScratchRegistryTest;
using ProductScan = ScratchRegistryTest;

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

// The product word matches case-sensitively anywhere in the display name; every key opened is
// closed.
TEST_F(ProductScan, CollectsMatchingSubkeysInIndexOrderClosingEveryKey) {
  EXPECT_TRUE(scan().empty()) << "without a root";
  set_text_value(L"Uninstall\\{0A}", L"DisplayName", L"Voxtrel Agent");
  set_text_value(L"Uninstall\\{0B}", L"DisplayName", L"The Voxtrel Agent Updater");
  set_text_value(L"Uninstall\\{0C}", L"DisplayName", L"voxtrel lower case");
  set_text_value(L"Uninstall\\{0G}", L"DisplayName", L"VOXTREL Helper");
  set_raw_value(L"Uninstall\\{0D}", L"DisplayName", REG_DWORD, std::string(4, '\7'));
  set_text_value(L"Uninstall\\{0E}", L"Publisher", L"Voxtrel");
  make_key(L"Uninstall\\{0F}");
  set_raw_value(L"Uninstall\\Legacy", L"DisplayName", REG_EXPAND_SZ,
                utf16_bytes(std::wstring(L"%Voxtrel% Helper\0", 17)));
  const testing::HandleLeakCheck handles;
  EXPECT_EQ(scan(), (std::vector<std::string>{"Legacy=%Voxtrel% Helper", "{0A}=Voxtrel Agent",
                                              "{0B}=The Voxtrel Agent Updater"}));
  EXPECT_FALSE(handles.leaked()) << "a handle stays open";
}

// What the footprint check needs to tell "no product" from "no answer": an absent list or a
// subkey without a display name is an answer; a subkey that cannot be opened is not, and the
// matches around it still count.
TEST_F(ProductScan, ReportsTheFirstFailureThatIsNotAnAbsence) {
  std::optional<Error> failure;
  EXPECT_TRUE(
      find_voxtrel_products(HKEY_CURRENT_USER, key_path_utf8(L"Uninstall"), &failure).empty());
  EXPECT_EQ(failure, std::nullopt) << "an absent list";
  set_text_value(L"Uninstall\\{0A}", L"DisplayName", L"Voxtrel Agent");
  set_text_value(L"Uninstall\\{0B}", L"Publisher", L"Voxtrel");
  set_text_value(L"Uninstall\\{0C}", L"DisplayName", L"Voxtrel Updater");
  EXPECT_EQ(scan().size(), 2u);
  // An empty access list on {0B}, set and taken back through a handle opened before it.
  HKEY held = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (key_path() + L"\\Uninstall\\{0B}").c_str(), 0,
                          READ_CONTROL | WRITE_DAC, &held),
            ERROR_SUCCESS);
  const UniqueRegistryKey key(held);
  ACL empty{};
  InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
  SECURITY_DESCRIPTOR denying{};
  InitializeSecurityDescriptor(&denying, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&denying, TRUE, &empty, FALSE);
  ASSERT_EQ(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &denying), ERROR_SUCCESS);
  const auto found =
      find_voxtrel_products(HKEY_CURRENT_USER, key_path_utf8(L"Uninstall"), &failure);
  SECURITY_DESCRIPTOR open_to_all{};
  InitializeSecurityDescriptor(&open_to_all, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&open_to_all, TRUE, nullptr, FALSE);
  RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &open_to_all);
  EXPECT_EQ(found.size(), 2u);
  EXPECT_EQ(failure, Error::os(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace voxtrel
