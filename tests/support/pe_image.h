// A 64-bit PE file held in memory, its headers and imports read the way the Windows loader reads
// them. Every read is bounds-checked: a truncated or malformed file throws std::out_of_range,
// which GoogleTest reports as a failure.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "system/windows_api.h"

namespace voxtrel::testing {

class PeImage {
 public:
  // Throws std::out_of_range unless `file` starts with the headers of a PE32+ image.
  explicit PeImage(std::string file) : bytes(std::move(file)) {
    const auto dos = read<IMAGE_DOS_HEADER>(0);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE) throw std::out_of_range("no MZ header");
    const auto nt_offset = static_cast<std::size_t>(dos.e_lfanew);
    headers = read<IMAGE_NT_HEADERS64>(nt_offset);
    if (headers.Signature != IMAGE_NT_SIGNATURE ||
        headers.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
      throw std::out_of_range("not a PE32+ image");
    }
    const std::size_t first_section = nt_offset + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                      headers.FileHeader.SizeOfOptionalHeader;
    for (std::size_t i = 0; i < headers.FileHeader.NumberOfSections; ++i) {
      sections.push_back(
          read<IMAGE_SECTION_HEADER>(first_section + i * IMAGE_SIZEOF_SECTION_HEADER));
    }
  }

  // An empty directory when the header has fewer entries than `index` + 1.
  [[nodiscard]] IMAGE_DATA_DIRECTORY directory(unsigned index) const {
    if (index >= headers.OptionalHeader.NumberOfRvaAndSizes) return {};
    return headers.OptionalHeader.DataDirectory[index];
  }
  // The DLL names of the import and delay-import tables, as written in the file.
  [[nodiscard]] std::vector<std::string> imported_dlls() const {
    std::vector<std::string> names;
    add_dll_names(IMAGE_DIRECTORY_ENTRY_IMPORT, &IMAGE_IMPORT_DESCRIPTOR::Name, names);
    add_dll_names(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT, &IMAGE_DELAYLOAD_DESCRIPTOR::DllNameRVA,
                  names);
    return names;
  }

  const std::string bytes;
  IMAGE_NT_HEADERS64 headers{};
  std::vector<IMAGE_SECTION_HEADER> sections;

 private:
  template <typename T>
  [[nodiscard]] T read(std::size_t offset) const {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
      throw std::out_of_range("read past the end of the image");
    }
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
  }
  [[nodiscard]] std::size_t offset_of(std::uint32_t rva) const {
    for (const auto& section : sections) {
      if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData) {
        return section.PointerToRawData + (rva - section.VirtualAddress);
      }
    }
    throw std::out_of_range("address in no section");
  }
  // A table of descriptors that ends with one whose name is zero.
  template <typename Descriptor>
  void add_dll_names(unsigned index, DWORD Descriptor::*name,
                     std::vector<std::string>& names) const {
    if (directory(index).Size == 0) return;
    for (std::size_t at = offset_of(directory(index).VirtualAddress);; at += sizeof(Descriptor)) {
      const DWORD rva = read<Descriptor>(at).*name;
      if (rva == 0) return;
      const std::size_t end = bytes.find('\0', offset_of(rva));
      if (end == std::string::npos) throw std::out_of_range("unterminated name");
      names.push_back(bytes.substr(offset_of(rva), end - offset_of(rva)));
    }
  }
};

}  // namespace voxtrel::testing
