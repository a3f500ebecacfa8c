#include "agent/footprint.h"

#include "system/registry_reader.h"
#include "system/text.h"

namespace voxtrel {
namespace {

void note_failure(std::optional<Error>* failure, const Error& error) {
  if (failure != nullptr && !failure->has_value() && !is_key_gone(error)) *failure = error;
}

// The display name of one subkey: nothing when the subkey cannot be opened, the empty text when
// the value cannot be read as text (a value of another type is simply not a name).
std::optional<std::string> display_name_of(HKEY root, const std::string& subkey,
                                           std::optional<Error>* failure) {
  auto key = open_key(root, subkey);
  if (!key) {
    note_failure(failure, key.error());
    return std::nullopt;
  }
  auto name = read_string_value(key->get(), kDisplayNameValue);
  if (!name && !name.error().is_os(ERROR_BAD_FILE_TYPE)) note_failure(failure, name.error());
  (void)close_key(std::move(*key));
  return name.value_or(std::string());
}

}  // namespace

std::vector<MatchedProduct> find_voxtrel_products(HKEY parent, std::string_view root,
                                                  std::optional<Error>* failure) {
  std::vector<MatchedProduct> products;
  auto root_key = open_key(parent, root);
  if (!root_key) {
    note_failure(failure, root_key.error());
    return products;
  }
  for (const auto& item : subkey_names(root_key->get())) {
    if (!item) {
      note_failure(failure, item.error());
      continue;
    }
    auto display_name = display_name_of(root_key->get(), *item, failure);
    if (display_name && is_voxtrel_product(*display_name)) {
      products.push_back({*item, std::move(*display_name)});
    }
  }
  (void)close_key(std::move(*root_key));
  return products;
}

bool is_leftover_name(std::wstring_view name) {
  const auto exact = to_utf8_strict(name);
  return exact && exact->starts_with(kLeftoverPrefix);
}

}  // namespace voxtrel
