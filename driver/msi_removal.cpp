#include "driver/msi_removal.h"

#include <array>
#include <optional>

#include "driver/console.h"
#include "driver/format.h"
#include "driver/transcript.h"
#include "system/path.h"
#include "system/process_runner.h"
#include "system/registry_reader.h"

namespace voxtrel {
namespace {

constexpr std::array<std::string_view, 2> kUninstallRoots = {kUninstallRoot, kUninstallRoot32};
constexpr std::string_view kWindowsInstaller = "msiexec.exe";

// The display name of one subkey: nothing when the subkey cannot be opened, the empty text when
// the value cannot be read as text.
std::optional<std::string> display_name_of(HKEY root, const std::string& subkey) {
  auto key = open_key(root, subkey);
  if (!key) return std::nullopt;
  std::string name = read_string_value(key->get(), kDisplayNameValue).value_or(std::string());
  (void)close_key(std::move(*key));
  return name;
}

// `msiexec` is the system's own, never one beside the tool; without it nothing is started. A
// product that is not installed, or an msiexec that fails or cannot be started, still counts as
// issued.
void uninstall(const MatchedProduct& product, const Result<std::string>& msiexec) {
  print(fill(transcript::kUninstallingProduct, {product.display_name, product.subkey}));
  const std::vector<std::string> arguments = {"/x", product.subkey, "/quiet", "/norestart"};
  if (msiexec) (void)run_and_wait(*msiexec, arguments);
}

}  // namespace

std::vector<MatchedProduct> find_voxtrel_products(HKEY parent, std::string_view root) {
  std::vector<MatchedProduct> products;
  auto root_key = open_key(parent, root);
  if (!root_key) return products;
  for (const auto& item : subkey_names(root_key->get())) {
    if (!item) continue;
    auto display_name = display_name_of(root_key->get(), *item);
    if (display_name && is_voxtrel_product(*display_name)) {
      products.push_back({*item, std::move(*display_name)});
    }
  }
  (void)close_key(std::move(*root_key));
  return products;
}

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
