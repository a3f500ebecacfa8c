#include "system/registry_reader.h"

#include <vector>

#include "system/text.h"

namespace voxtrel {
namespace {

bool holds_nul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

bool is_text_type(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Little-endian UTF-16 units of `data`; an odd last byte is ignored.
std::wstring units_of(std::span<const std::byte> data) {
  std::wstring units(data.size() / 2, L'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    const auto low = static_cast<unsigned>(data[2 * i]);
    const auto high = static_cast<unsigned>(data[2 * i + 1]);
    units[i] = static_cast<wchar_t>(low | (high << 8));
  }
  return units;
}

}  // namespace

Result<UniqueRegistryKey> open_key(HKEY parent, std::string_view path) {
  if (holds_nul(path)) return std::unexpected(Error::invalid_input(kNulInPathMessage));
  HKEY raw = nullptr;
  const LSTATUS status = RegOpenKeyExW(parent, to_wide(path).c_str(), 0, kRegistryReadAccess, &raw);
  if (status != ERROR_SUCCESS) return fail_os(static_cast<std::uint32_t>(status));
  return UniqueRegistryKey(raw);
}

Status close_key(UniqueRegistryKey key) {
  const LSTATUS status = RegCloseKey(key.release());
  if (status != ERROR_SUCCESS) return fail_os(static_cast<std::uint32_t>(status));
  return {};
}

Result<std::string> decode_subkey_name(std::wstring_view name) {
  auto text = to_utf8_strict(name);
  if (!text) return fail_os(ERROR_INVALID_BLOCK);
  return std::move(*text);
}

std::vector<Result<std::string>> subkey_names(HKEY key) {
  std::vector<Result<std::string>> names;
  std::wstring name(kSubkeyNameUnits, L'\0');
  // The index moves on whatever one gave, so one bad subkey never stops the listing.
  for (DWORD index = 0;; ++index) {
    DWORD length = kSubkeyNameUnits;
    const LSTATUS status =
        RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    // A key deleted while it is listed answers ERROR_KEY_DELETED for every index: nothing more
    // can come from it.
    if (status == ERROR_NO_MORE_ITEMS || status == ERROR_KEY_DELETED) return names;
    if (status != ERROR_SUCCESS) {
      names.emplace_back(fail_os(static_cast<std::uint32_t>(status)));
    } else {
      names.push_back(decode_subkey_name(std::wstring_view(name.data(), length)));
    }
  }
}

Result<std::string> decode_string_value(DWORD type, std::span<const std::byte> data) {
  if (type > kHighestKnownValueType || !is_text_type(type)) return fail_os(ERROR_BAD_FILE_TYPE);
  std::string text = to_utf8_lossy(units_of(data));
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (type == REG_MULTI_SZ) {
    for (char& c : text) {
      if (c == '\0') c = '\n';
    }
  }
  return text;
}

Result<std::string> read_string_value(HKEY key, std::string_view value_name) {
  if (holds_nul(value_name)) return std::unexpected(Error::invalid_input(kNulInPathMessage));
  const std::wstring name = to_wide(value_name);
  std::vector<std::byte> buffer(kInitialValueBytes);
  for (;;) {
    DWORD type = REG_NONE;
    auto size = static_cast<DWORD>(buffer.size());
    const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                                            reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status == ERROR_MORE_DATA) {
      // The value may grow again before the next call; the loop asks until it fits.
      buffer.resize(size > buffer.size() ? size : buffer.size() * 2);
      continue;
    }
    if (status != ERROR_SUCCESS) return fail_os(static_cast<std::uint32_t>(status));
    return decode_string_value(type, std::span(buffer).first(size));
  }
}

}  // namespace voxtrel
