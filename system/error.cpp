#include "system/error.h"

#include "system/text.h"

namespace voxtrel {

std::string system_message(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return {};
  std::wstring_view text(buffer, length);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.remove_suffix(1);
  }
  std::string message = to_utf8_lossy(text);
  LocalFree(buffer);
  return message;
}

}  // namespace voxtrel
