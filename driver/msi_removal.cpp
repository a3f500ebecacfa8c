#include "driver/msi_removal.h"

#include <array>

#include "driver/console.h"
#include "driver/transcript.h"
#include "system/format.h"
#include "system/process_runner.h"
#include "system/registry_reader.h"

namespace voxtrel {
namespace {

constexpr SystemProgram kWindowsInstaller{.name = "msiexec", .file = "msiexec.exe"};

// An entry an earlier uninstall took with it (a product chained to another, removed with it) is
// one a walk of the live list would no longer meet: asking msiexec about it could only fail. Any
// other answer than "not there" leaves it to msiexec, as the list said.
bool entry_gone(std::string_view root, const MatchedProduct& product) {
  auto key = open_key(HKEY_LOCAL_MACHINE, std::string(root) + "\\" + product.subkey);
  if (!key) return is_key_gone(key.error());
  (void)close_key(std::move(*key));
  return false;
}

// A product that is not installed, or an msiexec that fails or cannot be started, still counts as
// issued.
void uninstall(const MatchedProduct& product) {
  print(fill(transcript::kUninstallingProduct, {product.display_name, product.subkey}));
  const std::vector<std::string> arguments = {"/x", product.subkey, "/quiet", "/norestart"};
  (void)run_and_wait(kWindowsInstaller, arguments);
}

}  // namespace

void remove_msi_products() {
  bool matched = false;
  for (const std::string_view root : kUninstallRoots) {
    // Collected first: each uninstall deletes its own subkey, which would shift the live
    // listing and hide the subkey right after it.
    for (const MatchedProduct& product : find_voxtrel_products(HKEY_LOCAL_MACHINE, root)) {
      if (entry_gone(root, product)) continue;
      uninstall(product);
      matched = true;
    }
  }
  print(matched ? transcript::kProductsIssued : transcript::kNoProducts);
}

}  // namespace voxtrel
