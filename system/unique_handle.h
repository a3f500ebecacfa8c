// One move-only owner for every kind of handle the tool obtains. Each kind supplies its empty
// value and its close function; closing preserves the thread's last error, so wrapping a handle
// never clobbers the code a caller is about to read.
#pragma once

#include <utility>

#include "system/windows_api.h"

namespace voxtrel {

template <typename Traits>
class UniqueHandle {
 public:
  using Raw = typename Traits::Raw;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Raw raw) noexcept : raw_(raw) {}
  UniqueHandle(UniqueHandle&& other) noexcept : raw_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  [[nodiscard]] Raw get() const noexcept { return raw_; }
  [[nodiscard]] Raw release() noexcept { return std::exchange(raw_, Traits::empty()); }
  void reset(Raw raw = Traits::empty()) noexcept {
    const Raw old = std::exchange(raw_, raw);
    if (old != Traits::empty()) {
      const DWORD last_error = GetLastError();
      Traits::close(old);
      SetLastError(last_error);
    }
  }
  explicit operator bool() const noexcept { return raw_ != Traits::empty(); }

 private:
  Raw raw_ = Traits::empty();
};

// Handles from CreateFileW: empty is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
  using Raw = HANDLE;
  static Raw empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(Raw h) noexcept { CloseHandle(h); }
};
// Process, thread, NT and duplicated handles: empty is null.
struct KernelHandleTraits {
  using Raw = HANDLE;
  static Raw empty() noexcept { return nullptr; }
  static void close(Raw h) noexcept { CloseHandle(h); }
};
struct FindHandleTraits {
  using Raw = HANDLE;
  static Raw empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(Raw h) noexcept { FindClose(h); }
};
struct RegistryKeyTraits {
  using Raw = HKEY;
  static Raw empty() noexcept { return nullptr; }
  static void close(Raw h) noexcept { RegCloseKey(h); }
};
// Handles of the service control manager and of its services.
struct ServiceHandleTraits {
  using Raw = SC_HANDLE;
  static Raw empty() noexcept { return nullptr; }
  static void close(Raw h) noexcept { CloseServiceHandle(h); }
};

using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueRegistryKey = UniqueHandle<RegistryKeyTraits>;
using UniqueService = UniqueHandle<ServiceHandleTraits>;

}  // namespace voxtrel
