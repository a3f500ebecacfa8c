#include "system/text.h"

namespace voxtrel {
namespace {

constexpr bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

void append_utf16(std::wstring& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<wchar_t>(code_point));
    return;
  }
  code_point -= 0x10000;
  out.push_back(static_cast<wchar_t>(0xD800 + (code_point >> 10)));
  out.push_back(static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF)));
}

// Decodes one UTF-8 sequence at `pos`; advances `pos`. Malformed input yields U+FFFD and
// consumes one byte, so decoding always progresses.
char32_t decode_utf8(std::string_view in, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(in[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  }
  if (length == 0 || pos + length > in.size()) {
    ++pos;
    return kReplacementCharacter;
  }
  for (int i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(in[pos + i]);
    if (!is_continuation(byte)) {
      ++pos;
      return kReplacementCharacter;
    }
    value = (value << 6) | (byte & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++pos;
    return kReplacementCharacter;
  }
  pos += length;
  return value;
}

// Decodes UTF-16, calling `on_unpaired` for each unpaired surrogate; stops early when it
// returns false.
template <typename OnUnpaired>
bool decode_utf16(std::wstring_view in, std::string& out, OnUnpaired on_unpaired) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    const wchar_t unit = in[i];
    if (is_high_surrogate(unit) && i + 1 < in.size() && is_low_surrogate(in[i + 1])) {
      const char32_t high = unit - 0xD800;
      const char32_t low = in[i + 1] - 0xDC00;
      append_utf8(out, 0x10000 + ((high << 10) | low));
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      if (!on_unpaired(out)) return false;
    } else {
      append_utf8(out, unit);
    }
  }
  return true;
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::wstring to_wide(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) append_utf16(out, decode_utf8(utf8, pos));
  return out;
}

std::optional<std::string> to_utf8_strict(std::wstring_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  if (!decode_utf16(utf16, out, [](std::string&) { return false; })) return std::nullopt;
  return out;
}

std::string to_utf8_lossy(std::wstring_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  decode_utf16(utf16, out, [](std::string& text) {
    append_utf8(text, kReplacementCharacter);
    return true;
  });
  return out;
}

}  // namespace voxtrel
