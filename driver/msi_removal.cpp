#include "driver/msi_removal.h"

#include <array>

#include "driver/console.h"
#include "driver/format.h"
#include "driver/transcript.h"
#include "system/path.h"
#include "system/process_runner.h"

namespace voxtrel {
namespace {

constexpr std::array<std::string_view, 2> kUninstallRoots = {kUninstallRoot, kUninstallRoot32};
constexpr std::string_view kWindowsInstaller = "msiexec.exe";

// `msiexec` is the system's own, never one beside the tool; without it nothing is started. A
// product that is not installed, or an msiexec that fails or cannot be started, still counts as
// issued.
void uninstall(const MatchedProduct& product, const Result<std::string>& msiexec) {
  print(fill(transcript::kUninstallingProduct, {product.display_name, product.subkey}));
  const std::vector<std::string> arguments = {"/x", product.subkey, "/quiet", "/norestart"};
  if (msiexec) (void)run_and_wait(*msiexec, arguments);
}

}  // namespace

void remove_msi_products() {
  const auto msiexec = system_program_path(kWindowsInstaller);
  bool matched = false;
  for (const std::string_view root : kUninstallRoots) {
    // Collected first: each uninstall deletes its own subkey, which would shift the live
    // listing and hide the subkey right after it.
    for (const MatchedProduct& product : find_voxtrel_products(HKEY_LOCAL_MACHINE, root)) {
      uninstall(product, msiexec);
      matched = true;
    }
  }
  print(matched ? transcript::kProductsIssued : transcript::kNoProducts);
}

}  // namespace voxtrel
