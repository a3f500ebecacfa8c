#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "driver/msi_removal.h"
#include "tests/support/scratch_registry_key.h"

namespace voxtrel {
namespace {

using testing::ScratchRegistryTest;

class ProductScan : public ScratchRegistryTest {
 protected:
  std::vector<MatchedProduct> scan() {
    return find_voxtrel_products(HKEY_CURRENT_USER, key_path_utf8(L"Uninstall"));
  }
};

// The product word matches case-sensitively anywhere in the display name.
TEST_F(ProductScan, CollectsMatchingSubkeysInIndexOrder) {
  set_text_value(L"Uninstall\\{0A}", L"DisplayName", L"Voxtrel Agent");
  set_text_value(L"Uninstall\\{0B}", L"DisplayName", L"The Voxtrel Agent Updater");
  set_text_value(L"Uninstall\\{0C}", L"DisplayName", L"voxtrel lower case");
  set_text_value(L"Uninstall\\{0G}", L"DisplayName", L"VOXTREL Helper");
  set_dword_value(L"Uninstall\\{0D}", L"DisplayName", 7);
  set_text_value(L"Uninstall\\{0E}", L"Publisher", L"Voxtrel");
  make_key(L"Uninstall\\{0F}");
  set_raw_value(L"Uninstall\\Legacy", L"DisplayName", REG_EXPAND_SZ,
                testing::utf16_bytes(std::wstring(L"%Voxtrel% Helper\0", 17)));
  const auto products = scan();
  ASSERT_EQ(products.size(), 3u);
  EXPECT_EQ(products[0].subkey, "Legacy");
  EXPECT_EQ(products[0].display_name, "%Voxtrel% Helper");
  EXPECT_EQ(products[1].subkey, "{0A}");
  EXPECT_EQ(products[1].display_name, "Voxtrel Agent");
  EXPECT_EQ(products[2].subkey, "{0B}");
  EXPECT_EQ(products[2].display_name, "The Voxtrel Agent Updater");
}

TEST_F(ProductScan, FindsNothingWithoutARoot) {
  EXPECT_TRUE(scan().empty());
}

// The process's handle count where the platform keeps one (Wine 8 reports a fixed value: an
// extra open handle shows whether the count is real), else nothing.
std::optional<DWORD> handle_count() {
  DWORD before = 0;
  DWORD during = 0;
  const HANDLE extra = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const bool counted = GetProcessHandleCount(GetCurrentProcess(), &during);
  CloseHandle(extra);
  if (!counted || !GetProcessHandleCount(GetCurrentProcess(), &before) || during != before + 1) {
    return std::nullopt;
  }
  return before;
}

// The values of the next handles made: a handle fills the lowest free slot, so a handle left
// open since the last look shifts them.
std::vector<HANDLE> next_handle_values() {
  constexpr int kProbes = 32;
  std::vector<HANDLE> values;
  for (int i = 0; i < kProbes; ++i) values.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  for (const HANDLE value : values) CloseHandle(value);
  return values;
}

TEST_F(ProductScan, ClosesEveryKeyItOpens) {
  for (int i = 0; i < 20; ++i) {
    set_text_value(L"Uninstall\\{" + std::to_wstring(i) + L"}", L"DisplayName", L"Voxtrel");
  }
  const auto count_before = handle_count();
  const auto slots_before = next_handle_values();
  EXPECT_EQ(scan().size(), 20u);
  if (count_before) {
    EXPECT_EQ(handle_count(), count_before);
  } else {
    EXPECT_EQ(next_handle_values(), slots_before) << "a handle stays open";
  }
}

}  // namespace
}  // namespace voxtrel
