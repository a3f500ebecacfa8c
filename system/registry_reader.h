// Read-only access to the registry: open a key, list its subkeys by name, read one value as text,
// close the key. Keys are opened in the registry view of the tool's own 64-bit process. Every
// failure is the registry status as a value; nothing here prints or writes.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "system/error.h"
#include "system/unique_handle.h"

namespace voxtrel {

// KEY_READ (0x20019), with neither KEY_WOW64_64KEY nor KEY_WOW64_32KEY: the process's own view.
inline constexpr REGSAM kRegistryReadAccess = KEY_READ;
// Subkey names longer than this are reported by RegEnumKeyExW as an error item.
inline constexpr DWORD kSubkeyNameUnits = 2048;
// First size of the value buffer; grown to what RegQueryValueExW reports.
inline constexpr DWORD kInitialValueBytes = 2048;
// The highest registry type code the reader knows.
inline constexpr DWORD kHighestKnownValueType = REG_QWORD;

// Opens `path` under `parent` for reading. Fails with the status of RegOpenKeyExW, or with
// InvalidInput when the path holds a NUL.
[[nodiscard]] Result<UniqueRegistryKey> open_key(HKEY parent, std::string_view path);

// Closes an opened key now and returns the status of RegCloseKey.
Status close_key(UniqueRegistryKey key);

// The name of a subkey as UTF-8, decoded strictly: a name with an unpaired surrogate cannot be
// passed back to the registry unchanged, so it is the error ERROR_INVALID_BLOCK (9).
[[nodiscard]] Result<std::string> decode_subkey_name(std::wstring_view name);

// The subkeys of an open key by increasing index on the live key, one item per index: a name,
// or the error for that index (RegEnumKeyExW's status or an undecodable name). The iteration
// ends at ERROR_NO_MORE_ITEMS, or at ERROR_KEY_DELETED once the key itself is gone, and never
// restarts, so a subkey removed while it runs shifts the
// later ones down one index. Single pass: iterate once.
class SubkeyNames {
 public:
  using Item = Result<std::string>;

  class Iterator {
   public:
    using value_type = Item;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    explicit Iterator(SubkeyNames* names) noexcept : names_(names) {}
    [[nodiscard]] const Item& operator*() const { return *names_->current_; }
    Iterator& operator++() {
      names_->fetch_next();
      return *this;
    }
    void operator++(int) { ++*this; }
    [[nodiscard]] bool operator==(std::default_sentinel_t) const noexcept {
      return !names_->current_.has_value();
    }

   private:
    SubkeyNames* names_ = nullptr;
  };

  explicit SubkeyNames(HKEY key) : key_(key), name_(kSubkeyNameUnits, L'\0') {}
  // Iterators point into the range, so it stays where it was made.
  SubkeyNames(const SubkeyNames&) = delete;
  SubkeyNames& operator=(const SubkeyNames&) = delete;

  [[nodiscard]] Iterator begin() {
    fetch_next();
    return Iterator(this);
  }
  [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

 private:
  // Reads the item at next_index_ into current_, or empties current_ at the end.
  void fetch_next();

  HKEY key_;
  DWORD next_index_ = 0;
  std::wstring name_;  // the name buffer, reused for every index
  std::optional<Item> current_;
};

// The subkeys of `key` (which must stay open while the names are iterated).
[[nodiscard]] inline SubkeyNames subkey_names(HKEY key) {
  return SubkeyNames(key);
}

// A value's bytes as text: REG_SZ, REG_EXPAND_SZ (not expanded) and REG_MULTI_SZ (its strings one
// per line) decode as UTF-16 with U+FFFD for unpaired surrogates, an odd last byte ignored and
// trailing NULs removed. Every other type is ERROR_BAD_FILE_TYPE (222).
[[nodiscard]] Result<std::string> decode_string_value(DWORD type, std::span<const std::byte> data);

// Reads `value_name` of `key` as text by the rules of decode_string_value, growing the buffer
// while RegQueryValueExW answers ERROR_MORE_DATA. Fails with RegQueryValueExW's status, 222 for
// a type that is not text, or InvalidInput when the name holds a NUL.
[[nodiscard]] Result<std::string> read_string_value(HKEY key, std::string_view value_name);

}  // namespace voxtrel
