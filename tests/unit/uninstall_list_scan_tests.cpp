// The uninstall lists' scan that step 4 and the footprint check share: which products match, in
// what order, and the failures that keep it from answering.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "agent/footprint.h"
#include "driver/msi_removal.h"
#include "system/windows_api.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/scratch_registry.h"

namespace voxtrel {
namespace {

using testing::utf16_bytes;

class ProductScan : public testing::ScratchRegistryTest {
 protected:
  // Step 4's scan of the list "Uninstall" below the scratch key: "subkey=display name" per match.
  std::vector<std::string> scan() {
    std::vector<std::string> found;
    for (const auto& product :
         find_voxtrel_products(HKEY_CURRENT_USER, key_path_utf8(L"Uninstall")))
      found.push_back(product.subkey + "=" + product.display_name);
    return found;
  }
};

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
