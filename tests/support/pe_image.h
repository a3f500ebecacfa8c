// A read-only view of a 64-bit PE file held in memory, read the way the Windows loader reads it:
// the headers, the DLLs the image imports and its resources. Every read is bounds-checked; a
// truncated or malformed file throws std::out_of_range, which GoogleTest reports as a failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/windows_api.h"

namespace voxtrel::testing {

class PeImage {
 public:
  // Throws std::out_of_range unless `bytes` starts with the headers of a PE32+ image.
  explicit PeImage(std::string bytes);

  [[nodiscard]] const std::string& bytes() const { return bytes_; }
  [[nodiscard]] const IMAGE_FILE_HEADER& file_header() const { return headers_.FileHeader; }
  [[nodiscard]] const IMAGE_OPTIONAL_HEADER64& optional_header() const {
    return headers_.OptionalHeader;
  }
  [[nodiscard]] const std::vector<IMAGE_SECTION_HEADER>& sections() const { return sections_; }
  // An empty directory when the header has fewer entries than `index` + 1.
  [[nodiscard]] IMAGE_DATA_DIRECTORY directory(unsigned index) const;

  // The DLL names of the import table and of the delay-import table, as written in the file.
  [[nodiscard]] std::vector<std::string> imported_dlls() const;
  [[nodiscard]] std::vector<std::string> delay_imported_dlls() const;

  // The data of the resource with numeric type and name (its first language), if present.
  [[nodiscard]] std::optional<std::string_view> resource(std::uint16_t type,
                                                         std::uint16_t name) const;
  // The time stamp of every directory in the resource tree.
  [[nodiscard]] std::vector<std::uint32_t> resource_time_stamps() const;

 private:
  template <typename T>
  [[nodiscard]] T read(std::size_t offset) const;
  [[nodiscard]] std::size_t offset_of(std::uint32_t rva) const;
  [[nodiscard]] std::string name_at(std::uint32_t rva) const;
  // Offset of the directory or data entry that the resource entry (type or name) leads to.
  [[nodiscard]] std::optional<std::uint32_t> find_resource_entry(std::uint32_t directory,
                                                                 std::uint16_t id) const;
  void collect_time_stamps(std::uint32_t directory, int depth,
                           std::vector<std::uint32_t>& stamps) const;

  std::string bytes_;
  IMAGE_NT_HEADERS64 headers_{};
  std::vector<IMAGE_SECTION_HEADER> sections_;
};

}  // namespace voxtrel::testing
