// A 64-bit PE file held in memory, its headers and imports read the way the Windows loader reads
// them. Every read is bounds-checked: a truncated or malformed file throws std::out_of_range,
// which GoogleTest reports as a failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "system/windows_api.h"

namespace voxtrel::testing {

class PeImage {
 public:
  // Throws std::out_of_range unless `file` starts with the headers of a PE32+ image.
  explicit PeImage(std::string file);

  // An empty directory when the header has fewer entries than `index` + 1.
  [[nodiscard]] IMAGE_DATA_DIRECTORY directory(unsigned index) const;
  // The DLL names of the import and delay-import tables, as written in the file.
  [[nodiscard]] std::vector<std::string> imported_dlls() const;

  const std::string bytes;
  IMAGE_NT_HEADERS64 headers{};
  std::vector<IMAGE_SECTION_HEADER> sections;

 private:
  template <typename T>
  [[nodiscard]] T read(std::size_t offset) const;
  [[nodiscard]] std::size_t offset_of(std::uint32_t rva) const;
  template <typename Descriptor>
  void add_dll_names(unsigned index, DWORD Descriptor::*name,
                     std::vector<std::string>& names) const;
};

}  // namespace voxtrel::testing
