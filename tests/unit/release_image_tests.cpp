// The built release tool as an administrator and a security reviewer see it: the DLLs it needs,
// its manifest, version information, hardening flags and, on a signed copy (signed_package.sh),
// its certificate table. That it carries no build time or place is release_reproducible's check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "system/text.h"
#include "system/windows_api.h"
#include "tests/support/child_process.h"

#include <wintrust.h>  // needs <windows.h> first

namespace voxtrel::testing {
namespace {

using namespace std::string_view_literals;

// The DLLs the README promises the tool imports, and no other: all in System32 of Windows 10
// and 11 x64 (msvcrt.dll is the system's C runtime). A new import is a README change first.
const std::set<std::string> kWindowsDlls{"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll"};

constexpr std::size_t kCertificateTableAlignment = 8;

// A 64-bit PE file held in memory, its headers and imports read the way the Windows loader reads
// them. Every read is bounds-checked: a truncated or malformed file throws std::out_of_range,
// which GoogleTest reports as a failure.
class PeImage {
 public:
  // Throws std::out_of_range unless `file` starts with the headers of a PE32+ image.
  explicit PeImage(std::string file) : bytes(std::move(file)) {
    const auto dos = read<IMAGE_DOS_HEADER>(0);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE) throw std::out_of_range("no MZ header");
    const auto nt_offset = static_cast<std::size_t>(dos.e_lfanew);
    headers = read<IMAGE_NT_HEADERS64>(nt_offset);
    if (headers.Signature != IMAGE_NT_SIGNATURE ||
        headers.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
      throw std::out_of_range("not a PE32+ image");
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
  // The functions the import table takes by name from `dll` (compared without regard to case).
  [[nodiscard]] std::set<std::string> functions_imported_from(std::string_view dll) const {
    std::set<std::string> functions;
    if (directory(IMAGE_DIRECTORY_ENTRY_IMPORT).Size == 0) return functions;
    for (std::size_t at = offset_of(directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);;
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
      const auto descriptor = read<IMAGE_IMPORT_DESCRIPTOR>(at);
      if (descriptor.Name == 0) return functions;
      if (lower(name_at(descriptor.Name)) != lower(std::string(dll))) continue;
      // The lookup table lists the imports; the address table, its copy, is bound at load time.
      for (std::size_t entry = offset_of(descriptor.OriginalFirstThunk);;
           entry += sizeof(IMAGE_THUNK_DATA64)) {
        const auto thunk = read<IMAGE_THUNK_DATA64>(entry).u1.AddressOfData;
        if (thunk == 0) break;
        if (IMAGE_SNAP_BY_ORDINAL64(thunk)) continue;
        functions.insert(
            name_at(static_cast<std::uint32_t>(thunk) + offsetof(IMAGE_IMPORT_BY_NAME, Name)));
      }
    }
  }
  const std::string bytes;
  IMAGE_NT_HEADERS64 headers{};
  std::vector<IMAGE_SECTION_HEADER> sections;

 private:
  template <typename T>
  [[nodiscard]] T read(std::size_t offset) const {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
      throw std::out_of_range("read past the end of the image");
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
  }
  [[nodiscard]] std::size_t offset_of(std::uint32_t rva) const {
    for (const auto& section : sections) {
      if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData)
        return section.PointerToRawData + (rva - section.VirtualAddress);
    }
    throw std::out_of_range("address in no section");
  }
  // The NUL-terminated text at `rva`.
  [[nodiscard]] std::string name_at(std::uint32_t rva) const {
    const std::size_t end = bytes.find('\0', offset_of(rva));
    if (end == std::string::npos) throw std::out_of_range("unterminated name");
    return bytes.substr(offset_of(rva), end - offset_of(rva));
  }
  [[nodiscard]] static std::string lower(std::string text) {
    std::ranges::transform(text, text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
  }
  // A table of descriptors that ends with one whose name is zero.
  template <typename Descriptor>
  void add_dll_names(unsigned index, DWORD Descriptor::*name,
                     std::vector<std::string>& names) const {
    if (directory(index).Size == 0) return;
    for (std::size_t at = offset_of(directory(index).VirtualAddress);; at += sizeof(Descriptor)) {
      const DWORD rva = read<Descriptor>(at).*name;
      if (rva == 0) return;
      names.push_back(name_at(rva));
    }
  }
};

// The element names of an XML text, in order, one space apart, without the XML declaration.
std::string element_names(std::string_view xml) {
  std::string names;
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    if (at + 1 >= xml.size() || !std::isalpha(static_cast<unsigned char>(xml[at + 1]))) continue;
    const std::size_t end = xml.find_first_of(" \t\r\n/>", at + 1);
    names += std::string(names.empty() ? "" : " ") + std::string(xml.substr(at + 1, end - at - 1));
  }
  return names;
}

class ReleaseImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* unix_path = std::getenv("VOXTREL_RELEASE_EXE");
    ASSERT_NE(unix_path, nullptr) << "VOXTREL_RELEASE_EXE is not set";
    // Wine shows the Unix root as drive Z:.
    path_ = L"Z:" + to_wide(unix_path);
    std::ranges::replace(path_, L'/', L'\\');
    auto bytes = read_file(path_);
    ASSERT_TRUE(bytes.has_value()) << "cannot read " << unix_path << "; build the release preset";
    image_.emplace(std::move(*bytes));
  }
  void SetUp() override { ASSERT_TRUE(image_.has_value()); }
  static inline std::wstring path_;
  static inline std::optional<PeImage> image_;
};

TEST_F(ReleaseImage, IsAHardened64BitConsoleProgram) {
  EXPECT_EQ(image_->headers.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(image_->headers.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
  // A program, not a DLL; and ASLR moves only an image that can be relocated above 4 GB.
  constexpr WORD kProgram = IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LARGE_ADDRESS_AWARE;
  EXPECT_EQ(image_->headers.FileHeader.Characteristics &
                (kProgram | IMAGE_FILE_DLL | IMAGE_FILE_RELOCS_STRIPPED),
            kProgram);
  constexpr WORD kAslrAndDep = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE |
                               IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
                               IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
  EXPECT_EQ(image_->headers.OptionalHeader.DllCharacteristics & kAslrAndDep, kAslrAndDep);
  EXPECT_NE(image_->directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u);
  EXPECT_EQ(image_->directory(IMAGE_DIRECTORY_ENTRY_DEBUG).Size, 0u) << "a debug directory";
  for (const auto& section : image_->sections) {
    const auto* bytes = reinterpret_cast<const char*>(section.Name);
    const std::string name(bytes, strnlen(bytes, IMAGE_SIZEOF_SHORT_NAME));
    const DWORD writable_code = IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE;
    EXPECT_NE(section.Characteristics & writable_code, writable_code) << name << " is W+X";
    EXPECT_FALSE(name.starts_with(".debug") || name.starts_with("/")) << "debugging: " << name;
  }
}

TEST_F(ReleaseImage, ImportsOnlyTheFourDllsTheReadmeNames) {
  std::set<std::string> seen;
  for (std::string dll : image_->imported_dlls()) {
    std::ranges::transform(dll, dll.begin(), [](unsigned char c) { return std::tolower(c); });
    seen.insert(dll);
  }
  EXPECT_TRUE(seen.contains("kernel32.dll")) << "the import table was not read";
  for (const auto& dll : seen)
    EXPECT_TRUE(kWindowsDlls.contains(dll)) << dll << " is not one of them";
}

// Main's first call restricts the DLL search to System32: the image imports the function for it
// (SetDefaultDllDirectories, from kernel32, one of the four DLLs).
TEST_F(ReleaseImage, RestrictsItsDllSearchToTheSystemDirectory) {
  EXPECT_TRUE(image_->functions_imported_from("kernel32.dll").contains("SetDefaultDllDirectories"));
}

TEST_F(ReleaseImage, ManifestRunsAsInvokerOnWindows10And11) {
  // Looked up as the loader looks: a program's manifest is RT_MANIFEST 1; 2 and 3 are a DLL's.
  const HMODULE module = LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  std::vector<std::string> manifests;
  for (const WORD name : {1, 2, 3}) {
    std::string& text = manifests.emplace_back();
    if (const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(name), MAKEINTRESOURCEW(24))) {
      text.assign(static_cast<const char*>(LockResource(LoadResource(module, found))),
                  SizeofResource(module, found));
    }
  }
  FreeLibrary(module);
  ASSERT_FALSE(manifests[0].empty()) << "no application manifest";
  EXPECT_EQ(manifests[1] + manifests[2], "") << "an isolation manifest";
  const std::string& manifest = manifests[0];
  for (const std::string_view part :
       {R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)",
        R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)"}) {  // Windows 10 and 11
    EXPECT_NE(manifest.find(part), std::string::npos) << part << " in\n" << manifest;
  }
  // Nothing else: no DPI, UI, code page, long-path or dependency settings.
  EXPECT_EQ(element_names(manifest),
            "assembly trustInfo security requestedPrivileges requestedExecutionLevel "
            "compatibility application supportedOS");
}

// The package step signs the executable when it is given a key (VOXTREL_RELEASE_SIGNED=1 says
// this file should be signed); the build never does. The security directory names the table by
// file offset: it is appended outside the mapped image (signed_package.sh checks the rest).
TEST_F(ReleaseImage, CarriesACertificateTableExactlyWhenSigned) {
  const auto table = image_->directory(IMAGE_DIRECTORY_ENTRY_SECURITY);
  if (const char* copy = std::getenv("VOXTREL_RELEASE_SIGNED"); !copy || copy != "1"sv) {
    EXPECT_EQ(table.Size, 0u) << "the build signed the image";
    return;
  }
  const std::size_t offset = table.VirtualAddress;
  EXPECT_EQ(offset % kCertificateTableAlignment, 0u);
  ASSERT_EQ(offset + table.Size, image_->bytes.size()) << "the table does not end the file";
  // One WIN_CERTIFICATE entry holding PKCS#7 signed data: an Authenticode signature.
  WIN_CERTIFICATE entry{};
  ASSERT_GE(table.Size, sizeof(entry)) << "no certificate table: the image is not signed";
  std::memcpy(&entry, image_->bytes.data() + offset, sizeof(entry));
  EXPECT_EQ(entry.wRevision, WIN_CERT_REVISION_2_0);
  EXPECT_EQ(entry.wCertificateType, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
  EXPECT_GT(entry.dwLength, sizeof(entry)) << "an empty signature";
  EXPECT_LE(entry.dwLength, table.Size);
}

// Read through version.dll, as Explorer's Properties page reads it.
TEST_F(ReleaseImage, VersionInformationNamesTheToolAndTheProjectVersion) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
  ASSERT_NE(size, 0u) << "no version information, error " << GetLastError();
  std::vector<std::byte> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, block.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD{VOXTREL_VERSION_MAJOR << 16 | VOXTREL_VERSION_MINOR});
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD{VOXTREL_VERSION_PATCH << 16});
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "marked debug or pre-release";
  EXPECT_EQ(fixed->dwFileType, DWORD{VFT_APP});
  const auto text = [&](const wchar_t* name) -> std::string {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) return {};
    return to_utf8_lossy(std::wstring(static_cast<const wchar_t*>(value), length - 1));
  };
  EXPECT_EQ(text(L"ProductName"), "Voxtrel Force-Removal Tool");
  EXPECT_FALSE(text(L"FileDescription").empty());
  EXPECT_EQ(text(L"FileVersion"), VOXTREL_VERSION);
  EXPECT_EQ(text(L"ProductVersion"), VOXTREL_VERSION);
  // Each program of the package (the tool, the footprint check) names its own file.
  EXPECT_EQ(text(L"OriginalFilename"), to_utf8_lossy(path_.substr(path_.find_last_of(L'\\') + 1)));
}

}  // namespace
}  // namespace voxtrel::testing
