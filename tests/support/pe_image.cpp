#include "tests/support/pe_image.h"

#include <cstring>
#include <stdexcept>

namespace voxtrel::testing {
namespace {

// A resource directory entry's offset: the high bit says it leads to another directory.
constexpr std::uint32_t kResourceSubdirectory = 0x80000000;
// The resource tree has three levels: type, name, language.
constexpr int kResourceLevels = 3;

struct ResourceDirectoryEntry {
  std::uint32_t name;
  std::uint32_t offset;
};

}  // namespace

PeImage::PeImage(std::string bytes) : bytes_(std::move(bytes)) {
  const auto dos = read<IMAGE_DOS_HEADER>(0);
  if (dos.e_magic != IMAGE_DOS_SIGNATURE) throw std::out_of_range("no MZ header");
  const auto nt_offset = static_cast<std::size_t>(dos.e_lfanew);
  headers_ = read<IMAGE_NT_HEADERS64>(nt_offset);
  if (headers_.Signature != IMAGE_NT_SIGNATURE ||
      headers_.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    throw std::out_of_range("not a PE32+ image");
  }
  const std::size_t first_section = nt_offset + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                    headers_.FileHeader.SizeOfOptionalHeader;
  for (std::size_t i = 0; i < headers_.FileHeader.NumberOfSections; ++i) {
    sections_.push_back(
        read<IMAGE_SECTION_HEADER>(first_section + i * IMAGE_SIZEOF_SECTION_HEADER));
  }
}

template <typename T>
T PeImage::read(std::size_t offset) const {
  if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) {
    throw std::out_of_range("read past the end of the image");
  }
  T value;
  std::memcpy(&value, bytes_.data() + offset, sizeof(T));
  return value;
}

std::size_t PeImage::offset_of(std::uint32_t rva) const {
  for (const auto& section : sections_) {
    const std::uint32_t size = section.SizeOfRawData;
    if (rva >= section.VirtualAddress && rva - section.VirtualAddress < size) {
      return section.PointerToRawData + (rva - section.VirtualAddress);
    }
  }
  throw std::out_of_range("address in no section");
}

std::string PeImage::name_at(std::uint32_t rva) const {
  const std::size_t start = offset_of(rva);
  const std::size_t end = bytes_.find('\0', start);
  if (end == std::string::npos) throw std::out_of_range("unterminated name");
  return bytes_.substr(start, end - start);
}

IMAGE_DATA_DIRECTORY PeImage::directory(unsigned index) const {
  if (index >= headers_.OptionalHeader.NumberOfRvaAndSizes) return {};
  return headers_.OptionalHeader.DataDirectory[index];
}

std::vector<std::string> PeImage::imported_dlls() const {
  std::vector<std::string> names;
  const auto table = directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (table.Size == 0) return names;
  // The table ends with an all-zero descriptor.
  for (std::size_t at = offset_of(table.VirtualAddress);; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto descriptor = read<IMAGE_IMPORT_DESCRIPTOR>(at);
    if (descriptor.Name == 0) return names;
    names.push_back(name_at(descriptor.Name));
  }
}

std::vector<std::string> PeImage::delay_imported_dlls() const {
  std::vector<std::string> names;
  const auto table = directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
  if (table.Size == 0) return names;
  for (std::size_t at = offset_of(table.VirtualAddress);;
       at += sizeof(IMAGE_DELAYLOAD_DESCRIPTOR)) {
    const auto descriptor = read<IMAGE_DELAYLOAD_DESCRIPTOR>(at);
    if (descriptor.DllNameRVA == 0) return names;
    names.push_back(name_at(descriptor.DllNameRVA));
  }
}

std::optional<std::uint32_t> PeImage::find_resource_entry(std::uint32_t directory,
                                                          std::uint16_t id) const {
  const std::size_t base =
      offset_of(this->directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
  const auto header = read<IMAGE_RESOURCE_DIRECTORY>(base + directory);
  const std::size_t count = header.NumberOfNamedEntries + header.NumberOfIdEntries;
  const std::size_t first = base + directory + sizeof(IMAGE_RESOURCE_DIRECTORY);
  for (std::size_t i = 0; i < count; ++i) {
    const auto entry = read<ResourceDirectoryEntry>(first + i * sizeof(ResourceDirectoryEntry));
    if (entry.name == id) return entry.offset;
  }
  return std::nullopt;
}

std::optional<std::string_view> PeImage::resource(std::uint16_t type, std::uint16_t name) const {
  if (directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).Size == 0) return std::nullopt;
  const auto by_type = find_resource_entry(0, type);
  if (!by_type || (*by_type & kResourceSubdirectory) == 0) return std::nullopt;
  const auto by_name = find_resource_entry(*by_type & ~kResourceSubdirectory, name);
  if (!by_name || (*by_name & kResourceSubdirectory) == 0) return std::nullopt;
  // The first language below the name.
  const std::size_t base = offset_of(directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
  const std::size_t languages = base + (*by_name & ~kResourceSubdirectory);
  const auto header = read<IMAGE_RESOURCE_DIRECTORY>(languages);
  if (header.NumberOfNamedEntries + header.NumberOfIdEntries == 0) return std::nullopt;
  const auto language = read<ResourceDirectoryEntry>(languages + sizeof(IMAGE_RESOURCE_DIRECTORY));
  if ((language.offset & kResourceSubdirectory) != 0) return std::nullopt;
  const auto data = read<IMAGE_RESOURCE_DATA_ENTRY>(base + language.offset);
  const std::size_t start = offset_of(data.OffsetToData);
  if (bytes_.size() - start < data.Size) throw std::out_of_range("resource past the end");
  return std::string_view(bytes_).substr(start, data.Size);
}

std::vector<std::uint32_t> PeImage::resource_time_stamps() const {
  std::vector<std::uint32_t> stamps;
  if (directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).Size != 0) collect_time_stamps(0, 0, stamps);
  return stamps;
}

// Depth-first over the three fixed levels, so the recursion is at most three deep.
void PeImage::collect_time_stamps(std::uint32_t directory, int depth,
                                  std::vector<std::uint32_t>& stamps) const {
  if (depth == kResourceLevels) throw std::out_of_range("resource tree deeper than three levels");
  const std::size_t base =
      offset_of(this->directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
  const auto header = read<IMAGE_RESOURCE_DIRECTORY>(base + directory);
  stamps.push_back(header.TimeDateStamp);
  const std::size_t count = header.NumberOfNamedEntries + header.NumberOfIdEntries;
  const std::size_t first = base + directory + sizeof(IMAGE_RESOURCE_DIRECTORY);
  for (std::size_t i = 0; i < count; ++i) {
    const auto entry = read<ResourceDirectoryEntry>(first + i * sizeof(ResourceDirectoryEntry));
    if ((entry.offset & kResourceSubdirectory) != 0) {
      collect_time_stamps(entry.offset & ~kResourceSubdirectory, depth + 1, stamps);
    }
  }
}

}  // namespace voxtrel::testing
